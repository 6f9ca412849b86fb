# Windows build. For 32 bits: the program, the data sources, the test
# executables (run under Wine by ctest when cross-compiling) and the installer.
# For 64 bits only what a 64-bit host loads: the data sources, the libraries
# they link and their tests; the program itself stays 32-bit.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SNAPWARD_DATA_SOURCES_ONLY ON)
  # Read by the Wine runner: a 64-bit program needs a 64-bit prefix.
  set(SNAPWARD_WINEARCH win64 CACHE INTERNAL "")
  # Test names and their Wine session, apart from the 32-bit tree's in a
  # ctest run over both.
  set(SNAPWARD_WINE_TEST wine64)
else()
  set(SNAPWARD_DATA_SOURCES_ONLY OFF)
  set(SNAPWARD_WINEARCH win32 CACHE INTERNAL "")
  set(SNAPWARD_WINE_TEST wine)
endif()

file(GLOB WIN32_SOURCES CONFIGURE_DEPENDS
     src/capture/*_win.cpp src/camera/*_win.cpp src/settings/*_win.cpp src/platform/*.cpp)
if(NOT SNAPWARD_DATA_SOURCES_ONLY)
  file(GLOB WIN32_PROGRAM_SOURCES CONFIGURE_DEPENDS src/ui/*.cpp src/app/*.cpp)
  list(FILTER WIN32_PROGRAM_SOURCES EXCLUDE REGEX "src/app/main\\.cpp$")
  list(APPEND WIN32_SOURCES ${WIN32_PROGRAM_SOURCES})
  file(GLOB WINDOWS_TEST_SOURCES CONFIGURE_DEPENDS tests/windows/*.cpp)
endif()

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
if(MINGW)
  # No MinGW runtime DLLs beside the program.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # i686 GCC defaults to x87 maths: float-to-int truncation is slow there, and
  # excess precision would let products differ from true single precision.
  # Every Windows able to run Media Foundation has SSE2 (MSVC's default too).
  add_compile_options(-msse2 -mfpmath=sse)
endif()

# No mfplat, mf or mfreadwrite: Media Foundation is loaded at run time, so that
# the program and the data source start where Windows has none. No
# windowscodecs either: an import is looked up from the program's folder first,
# so the imaging component is loaded from the system folder at run time too, as
# are the common controls (only Snapward.exe has a manifest to redirect them).
set(SNAPWARD_SYSTEM_LIBS
    mfuuid ole32 oleaut32 uuid
    shlwapi shell32 user32 gdi32 advapi32 version)

configure_file(cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/snapward_version.h @ONLY)

add_library(snapward_lib STATIC ${PORTABLE_SOURCES} ${WIN32_SOURCES})
target_include_directories(snapward_lib PUBLIC ${PROJECT_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
target_compile_options(snapward_lib PRIVATE ${SNAPWARD_WARNINGS})
target_link_libraries(snapward_lib PUBLIC ${SNAPWARD_SYSTEM_LIBS})

# The program twice from the same sources: the development build adds the
# test-pattern cameras so that it can be driven where no camera exists.
file(GLOB APP_RESOURCES CONFIGURE_DEPENDS src/app/*.rc src/ui/*.rc)
if(EXISTS ${PROJECT_SOURCE_DIR}/src/app/main.cpp AND NOT SNAPWARD_DATA_SOURCES_ONLY)
  foreach(variant Snapward Snapward-testcam)
    add_executable(${variant} WIN32 src/app/main.cpp ${APP_RESOURCES})
    target_link_libraries(${variant} PRIVATE snapward_lib)
    target_compile_options(${variant} PRIVATE ${SNAPWARD_WARNINGS})
  endforeach()
  target_compile_definitions(Snapward-testcam PRIVATE SNAPWARD_TESTCAM=1)
endif()

# The TWAIN data source, built from the same capture code.
if(EXISTS ${PROJECT_SOURCE_DIR}/twain/CMakeLists.txt)
  add_subdirectory(twain)
endif()

option(SNAPWARD_TESTS "Build the test executables" ON)
if(SNAPWARD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    # CMake's FindGTest (and GTest's own package file) define GTest::gtest_main.
    find_package(GTest REQUIRED)
  endif()

  # Copied under system libraries' names beside the programs under test
  # (tests/planted): none of them may ever be loaded.
  add_library(planted_marker SHARED tests/planted/marker_dll.cpp)
  set_target_properties(planted_marker PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

  # The portable code's 64-bit run is the native one.
  if(NOT SNAPWARD_DATA_SOURCES_ONLY)
    add_executable(unit_tests ${UNIT_TEST_SOURCES})
    # One compilation per batch of test files, as in the native tree.
    set_target_properties(unit_tests PROPERTIES UNITY_BUILD ON)
    target_link_libraries(unit_tests PRIVATE snapward_lib GTest::gtest_main)
    add_test(NAME wine.unit_tests COMMAND unit_tests)
  endif()

  # The shipped build's conversion timings (run by hand for the real numbers).
  # The smoke run fails when an instruction set's output differs from the
  # scalar one's or a conversion or decode fails.
  add_executable(convert_timing bench/convert_timing.cpp)
  target_link_libraries(convert_timing PRIVATE snapward_lib)
  target_compile_options(convert_timing PRIVATE ${SNAPWARD_WARNINGS})
  add_test(NAME ${SNAPWARD_WINE_TEST}.convert_timing_smoke COMMAND convert_timing --smoke)

  # How the preview keeps up at each size, run by hand (slow): the capture
  # dialog against test-pattern cameras, counted and timed.
  if(NOT SNAPWARD_DATA_SOURCES_ONLY)
    add_executable(preview_timing bench/preview_timing.cpp ${PROJECT_SOURCE_DIR}/src/ui/capture_dialog.rc)
    target_link_libraries(preview_timing PRIVATE snapward_lib)
    target_compile_options(preview_timing PRIVATE ${SNAPWARD_WARNINGS})
  endif()

  if(WINDOWS_TEST_SOURCES)
    add_executable(windows_tests ${WINDOWS_TEST_SOURCES})
    set_target_properties(windows_tests PROPERTIES UNITY_BUILD ON)
    # In a batch GCC takes a test file for a header and warns of every fixture
    # kept in its anonymous namespace, which is where a test file keeps them.
    target_compile_options(windows_tests PRIVATE -Wno-subobject-linkage)
    # The tests make Media Foundation samples and types of their own.
    target_link_libraries(windows_tests PRIVATE snapward_lib GTest::gtest_main mfplat)
    # The dialog tests need template 101 in their own module, the tray tests
    # the icon group; the texts' fit is measured in the data source's window too.
    target_sources(windows_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/ui/capture_dialog.rc
                                         ${PROJECT_SOURCE_DIR}/tests/windows/tray_icon.rc
                                         ${PROJECT_SOURCE_DIR}/twain/source_window.cpp
                                         ${PROJECT_SOURCE_DIR}/twain/ds_status.cpp)
    target_include_directories(windows_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    add_test(NAME wine.windows_tests COMMAND windows_tests)
    # The installer tests copy the built data source; the end-to-end tests
    # start the programs beside them.
    foreach(target Orvendel.ds Snapward Snapward-testcam planted_marker)
      if(TARGET ${target})
        add_dependencies(windows_tests ${target})
      endif()
    endforeach()
  endif()

  if(CMAKE_CROSSCOMPILING)
    # One Xvfb display and one persistent wineserver for the whole run: a cold
    # Wine start costs seconds, and every test executable is a Wine start.
    set(SNAPWARD_WINE_HOME ${CMAKE_BINARY_DIR}/wine)
    set(session ${PROJECT_SOURCE_DIR}/scripts/wine-session.sh)
    set(wine ${SNAPWARD_WINE_TEST})
    add_test(NAME ${wine}.session.start COMMAND ${session} start ${SNAPWARD_WINE_HOME})
    add_test(NAME ${wine}.session.stop COMMAND ${session} stop ${SNAPWARD_WINE_HOME})
    set_tests_properties(${wine}.session.start PROPERTIES FIXTURES_SETUP ${wine})
    set_tests_properties(${wine}.session.stop PROPERTIES FIXTURES_CLEANUP ${wine})
    # Every test of this tree's prefix runs inside its session and takes its
    # turn: a test outside it could meet the session's start or stop, whose
    # `wineserver -k` ends whatever runs in the prefix.
    get_property(wine_tests DIRECTORY PROPERTY TESTS)
    list(FILTER wine_tests INCLUDE REGEX "^${wine}\\.")
    list(REMOVE_ITEM wine_tests ${wine}.session.start ${wine}.session.stop)
    set_tests_properties(${wine_tests} PROPERTIES FIXTURES_REQUIRED ${wine} RESOURCE_LOCK ${wine})
    # Tests added in subdirectories (twain/) set the same two properties.
  endif()
endif()

# The 64-bit data sources come from a build tree of their own beside this one
# (build/windows64 for build/windows), built with this tree so that the
# installer always carries a current copy; the windows64 preset names the same
# tree. It needs the Linux x86-64 cross toolchain (cmake/mingw-x86_64.cmake),
# so it is built by default only when cross-compiling; without it there is no
# installer either.
option(SNAPWARD_DATA_SOURCES_64 "Build the 64-bit data sources in a tree of their own" ${CMAKE_CROSSCOMPILING})
if(SNAPWARD_DATA_SOURCES_64 AND NOT SNAPWARD_DATA_SOURCES_ONLY AND EXISTS ${PROJECT_SOURCE_DIR}/twain/CMakeLists.txt)
  include(ExternalProject)
  set(SNAPWARD_WINDOWS64_DIR ${CMAKE_BINARY_DIR}64 CACHE PATH "Build tree of the 64-bit data sources")
  set(SNAPWARD_DS64 ${SNAPWARD_WINDOWS64_DIR}/Orvendel.ds)
  ExternalProject_Add(data_sources_64
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${SNAPWARD_WINDOWS64_DIR}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-x86_64.cmake
               -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE} -DSNAPWARD_TESTS=${SNAPWARD_TESTS}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${SNAPWARD_DS64})
endif()

# SnapwardSetup.exe, when makensis and the payloads are there.
find_program(MAKENSIS makensis)
if(MAKENSIS AND TARGET Snapward AND TARGET Orvendel.ds AND TARGET data_sources_64)
  set(setup ${CMAKE_BINARY_DIR}/SnapwardSetup.exe)
  set(nsis_icon -DICON=${PROJECT_SOURCE_DIR}/src/app/snapward.ico)
  add_custom_command(
    OUTPUT ${setup}
    COMMAND ${MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DSNAPWARD_EXE=$<TARGET_FILE:Snapward>
            -DORVENDEL_DS=$<TARGET_FILE:Orvendel.ds> -DORVENDEL_DS64=${SNAPWARD_DS64}
            -DOUTFILE=${setup} ${nsis_icon} ${PROJECT_SOURCE_DIR}/installer/snapward.nsi
    DEPENDS ${PROJECT_SOURCE_DIR}/installer/snapward.nsi Snapward Orvendel.ds data_sources_64
            ${SNAPWARD_DS64}
    COMMENT "Building SnapwardSetup.exe"
    VERBATIM)
  add_custom_target(installer ALL DEPENDS ${setup})
  if(CMAKE_CROSSCOMPILING AND SNAPWARD_TESTS)
    # Its own scratch prefix and session: installing must not touch the one the
    # other tests share.
    # Holds data sources in use during an upgrade and reports how the
    # installer started the program.
    add_executable(installer_probe tests/e2e/installer_probe.cpp)
    target_include_directories(installer_probe PRIVATE ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(installer_probe PRIVATE ${SNAPWARD_WARNINGS})
    if(MINGW)
      target_link_options(installer_probe PRIVATE -municode)
    endif()
    add_dependencies(installer installer_probe)
    add_test(NAME wine.installer COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/installer_test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(wine.installer PROPERTIES RESOURCE_LOCK wine_installer TIMEOUT 300)
  endif()
endif()

