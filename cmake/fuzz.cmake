# libFuzzer targets (clang only), each built from the product sources it
# exercises. Each ctest entry is a short fixed run from the checked-in corpus;
# new inputs go to a scratch directory in the build tree, never to fuzz/corpus.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

function(snapward_fuzz name)
  add_executable(${name} fuzz/${name}.cpp ${ARGN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/twain)
  target_compile_options(${name} PRIVATE ${SNAPWARD_WARNINGS} ${FUZZ_FLAGS})
  target_link_options(${name} PRIVATE ${FUZZ_FLAGS})
  set(scratch ${CMAKE_CURRENT_BINARY_DIR}/fuzz-scratch/${name})
  add_test(NAME fuzz.${name}
           COMMAND sh -c "rm -rf '${scratch}' && mkdir -p '${scratch}' && exec \"$0\" -runs=20000 -max_len=4096 -seed=15 '${scratch}' '${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}'"
                   $<TARGET_FILE:${name}>)
endfunction()

# The preview's JPEG decoder, with its instruction-set variants.
set(JPEG_DECODER_SOURCES src/capture/jpeg_decoder.cpp src/capture/jpeg_idct_sse2.cpp src/capture/jpeg_colour_sse2.cpp)

snapward_fuzz(frame_fuzz src/capture/frame.cpp src/capture/convert_kernels.cpp src/capture/convert_sse2.cpp
              src/capture/convert_avx2.cpp src/capture/mjpeg.cpp src/capture/mjpeg_native.cpp)
snapward_fuzz(frame_scale_fuzz src/capture/frame_scale.cpp src/capture/frame.cpp src/capture/convert_kernels.cpp
              src/capture/convert_sse2.cpp src/capture/convert_avx2.cpp src/capture/mjpeg.cpp
              src/capture/mjpeg_native.cpp ${JPEG_DECODER_SOURCES})
snapward_fuzz(mjpeg_fuzz src/capture/mjpeg.cpp)
snapward_fuzz(twain_caps_fuzz twain/ds_capabilities.cpp)
snapward_fuzz(registry_string_fuzz src/settings/registry_text.cpp)
snapward_fuzz(jpeg_decoder_fuzz ${JPEG_DECODER_SOURCES}
              src/capture/convert_kernels.cpp src/capture/convert_sse2.cpp src/capture/convert_avx2.cpp
              src/capture/mjpeg.cpp)
