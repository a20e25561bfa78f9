# The product from the native build: when the mingw-w64 cross tools are present, the plain
# native build (not the sanitizer builds) configures this same tree a second time for Windows,
# in build/<preset>/windows, exactly as the `windows` preset does (the toolchain file, a Release
# build), and hands it its own compiled effect and module checker. The Windows build's tests (the
# module checks, the Wine tests, the release zip) become tests of this build as well.
if(NOT KESTRIN_SANITIZE STREQUAL "")
  return()
endif()

find_program(KESTRIN_MINGW_CXX i686-w64-mingw32-g++-posix)
find_program(KESTRIN_WINDRES i686-w64-mingw32-windres)
if(NOT KESTRIN_MINGW_CXX OR NOT KESTRIN_WINDRES)
  # A CI machine has them (.ci/run installs them): there, their absence is a broken set-up.
  if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "false")
    message(FATAL_ERROR "kestrin.auf needs i686-w64-mingw32-g++-posix and -windres (CI is set, so "
                        "the Windows build may not be skipped); see DEVELOPERS.md")
  endif()
  message(STATUS "kestrin.auf not built: it needs i686-w64-mingw32-g++-posix and -windres "
                 "(see DEVELOPERS.md)")
  return()
endif()

include(ExternalProject)
set(KESTRIN_WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(kestrin_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${KESTRIN_WINDOWS_BUILD_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/i686-w64-mingw32.cmake
             -DCMAKE_BUILD_TYPE=Release
             -DKESTRIN_NATIVE_EFFECT=${KESTRIN_EFFECT_BINARY}
             -DKESTRIN_NATIVE_MODULE_CHECK=$<TARGET_FILE:kestrin-module-check>
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${KESTRIN_WINDOWS_BUILD_DIR} --parallel 2
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  DEPENDS kestrin_effect kestrin-module-check
  BUILD_BYPRODUCTS ${KESTRIN_WINDOWS_BUILD_DIR}/host/kestrin.auf
                   ${KESTRIN_WINDOWS_BUILD_DIR}/tools/kestrin-run.exe
                   ${KESTRIN_WINDOWS_BUILD_DIR}/kestrin-${PROJECT_VERSION}-win32.zip
  USES_TERMINAL_CONFIGURE ON
  USES_TERMINAL_BUILD ON)

# The Windows build's tests run as this build's own: CTest reads that build's test list from
# here. (Before the first build there is none; `ctest` then says so with one failing test.)
set(include_file ${CMAKE_BINARY_DIR}/windows-tests.cmake)
file(WRITE ${include_file}
  "if(EXISTS \"${KESTRIN_WINDOWS_BUILD_DIR}/CTestTestfile.cmake\")\n"
  "  subdirs(\"${KESTRIN_WINDOWS_BUILD_DIR}\")\n"
  "else()\n"
  "  add_test(windows_build \"${CMAKE_COMMAND}\" -E echo \"build first: no Windows build yet\")\n"
  "  set_tests_properties(windows_build PROPERTIES WILL_FAIL TRUE)\n"
  "endif()\n")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
