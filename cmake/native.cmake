# Linux build: the portable code, its tests (with sanitizers) and the benchmarks.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

set(SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)

function(snapward_core name)
  add_library(${name} STATIC ${PORTABLE_SOURCES} ${NATIVE_ONLY_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${SNAPWARD_WARNINGS} ${ARGN})
  target_link_options(${name} PUBLIC ${ARGN})
  target_link_libraries(${name} PUBLIC Threads::Threads)
endfunction()

snapward_core(snapward_core)                          # optimised, for benchmarks
snapward_core(snapward_core_asan ${SANITIZE_FLAGS})    # for the unit tests
snapward_core(snapward_core_tsan ${TSAN_FLAGS})        # for the threaded camera tests

add_executable(unit_tests ${UNIT_TEST_SOURCES})
# Test files share one compilation per batch: GoogleTest's headers, parsed once
# rather than per file, are most of what a test file costs to compile.
set_target_properties(unit_tests PROPERTIES UNITY_BUILD ON)
target_compile_options(unit_tests PRIVATE ${SNAPWARD_WARNINGS} ${SANITIZE_FLAGS})
target_link_libraries(unit_tests PRIVATE snapward_core_asan GTest::gtest_main)
add_test(NAME native.unit_tests COMMAND unit_tests)

# The preview thread and the read lock under ThreadSanitizer.
file(GLOB CAMERA_TEST_SOURCES CONFIGURE_DEPENDS tests/unit/camera*_test.cpp tests/unit/fake_*.cpp)
if(CAMERA_TEST_SOURCES)
  add_executable(camera_tests_tsan ${CAMERA_TEST_SOURCES})
  set_target_properties(camera_tests_tsan PROPERTIES UNITY_BUILD ON)
  target_compile_options(camera_tests_tsan PRIVATE ${SNAPWARD_WARNINGS} ${TSAN_FLAGS})
  target_link_libraries(camera_tests_tsan PRIVATE snapward_core_tsan GTest::gtest_main)
  add_test(NAME native.camera_tests_tsan COMMAND camera_tests_tsan)
  set_tests_properties(native.camera_tests_tsan PROPERTIES
                       ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
endif()

# DecodeJpeg against libjpeg-turbo (libturbojpeg0-dev, libjpeg62-turbo-dev):
# native only, as the Windows build has no libjpeg.
find_library(TURBOJPEG_LIBRARY turbojpeg REQUIRED)
find_package(JPEG REQUIRED)
add_executable(jpeg_reference_tests tests/native/jpeg_decoder_reference_test.cpp)
target_include_directories(jpeg_reference_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/native ${PROJECT_SOURCE_DIR}/bench)
target_compile_options(jpeg_reference_tests PRIVATE ${SNAPWARD_WARNINGS} ${SANITIZE_FLAGS})
target_link_libraries(jpeg_reference_tests PRIVATE snapward_core_asan GTest::gtest_main ${TURBOJPEG_LIBRARY}
                      JPEG::JPEG)
add_test(NAME native.jpeg_reference_tests COMMAND jpeg_reference_tests)

find_package(benchmark QUIET)
if(benchmark_FOUND)
  find_library(YUV_LIBRARY yuv REQUIRED)
  add_executable(snapward_bench bench/convert_bench.cpp)
  target_compile_options(snapward_bench PRIVATE ${SNAPWARD_WARNINGS})
  target_link_libraries(snapward_bench PRIVATE snapward_core benchmark::benchmark ${YUV_LIBRARY})
  # Keeps the benchmark building and running; the real numbers come from a
  # longer run by hand.
  add_test(NAME native.bench_smoke COMMAND snapward_bench --benchmark_min_time=0.01)

  # DecodeJpeg beside libjpeg-turbo; the smoke run fails when a benchmark
  # reports an error (a frame refused).
  add_executable(jpeg_bench bench/jpeg_bench.cpp)
  target_include_directories(jpeg_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/native ${PROJECT_SOURCE_DIR}/bench)
  target_compile_options(jpeg_bench PRIVATE ${SNAPWARD_WARNINGS})
  target_link_libraries(jpeg_bench PRIVATE snapward_core benchmark::benchmark ${TURBOJPEG_LIBRARY} JPEG::JPEG)
  add_test(NAME native.jpeg_bench_smoke COMMAND jpeg_bench --benchmark_min_time=0.01)

  # The data source's grey and black-and-white pages beside its colour one.
  add_executable(page_bench bench/page_bench.cpp twain/ds_image.cpp twain/ds_capabilities.cpp)
  target_include_directories(page_bench PRIVATE ${PROJECT_SOURCE_DIR}/bench ${PROJECT_SOURCE_DIR}/twain)
  target_link_libraries(page_bench PRIVATE snapward_core benchmark::benchmark)
endif()
