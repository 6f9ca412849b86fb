#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only those
# that are missing. Does nothing else.
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev googletest libbenchmark-dev libyuv-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine32 wine64 xvfb xauth xdotool imagemagick nsis
  clang libfuzzer-14-dev libclang-rt-14-dev  # the fuzz preset; clang only recommends its sanitizer runtimes
  libturbojpeg0-dev libjpeg62-turbo-dev  # DecodeJpeg's reference tests and benchmark (native)
  # Wine's Media Foundation decodes files through GStreamer (the file camera's
  # clips): without these plugins opening a clip fails with E_FAIL. The i386
  # ones serve the 32-bit prefix, the plain ones the 64-bit data source's.
  gstreamer1.0-plugins-base:i386 gstreamer1.0-plugins-good:i386
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi

# wine32 is an i386 package; others name their architecture (":i386") in the list.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if [ "$p" = wine32 ]; then q=wine32:i386; else q=$p; fi
  if ! dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$q")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
