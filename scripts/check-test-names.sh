#!/usr/bin/env bash
# Fails when two ctest entries of one run share a name: the summary could not
# tell their results apart, and a copy registered by a second tree escapes the
# first tree's session and lock. Also fails when the run lists no test at all.
# Usage: check-test-names.sh DIR   (a ctest directory, e.g. build with its subdirs)
set -euo pipefail
listing=$(ctest --test-dir "${1:?ctest directory}" -N)
names=$(sed -n 's/^ *Test *#[0-9]*: *//p' <<<"$listing")
if [ -z "$names" ]; then
  echo "check-test-names: no tests listed in $1" >&2
  exit 1
fi
duplicates=$(sort <<<"$names" | uniq -d)
if [ -n "$duplicates" ]; then
  echo "check-test-names: test names registered more than once:" >&2
  sed 's/^/  /' <<<"$duplicates" >&2
  exit 1
fi
echo "check-test-names: $(wc -l <<<"$names") tests, each name once"
