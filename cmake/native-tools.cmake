# The Windows build runs two native programs: fxbuild, which compiles the effect that goes into
# kestrin.auf as RCDATA 104, and the module checker of its tests. A native build of this tree
# hands in what it built (cmake/windows.cmake); a Windows build on its own builds them here, in a
# tools-only native configure of the same tree, with the machine's own compiler.
#
# Sets KESTRIN_EFFECT_BINARY and KESTRIN_MODULE_CHECK, and the target kestrin_native_tools that
# everything using them depends on.
set(KESTRIN_NATIVE_EFFECT "" CACHE FILEPATH "Compiled effect (bilateral.fxo) from a native build")
set(KESTRIN_NATIVE_MODULE_CHECK "" CACHE FILEPATH "kestrin-module-check from a native build")

if(KESTRIN_NATIVE_EFFECT AND KESTRIN_NATIVE_MODULE_CHECK)
  set(KESTRIN_EFFECT_BINARY ${KESTRIN_NATIVE_EFFECT})
  set(KESTRIN_MODULE_CHECK ${KESTRIN_NATIVE_MODULE_CHECK})
  add_custom_target(kestrin_native_tools)
  return()
endif()

include(ExternalProject)
set(tools_dir ${CMAKE_BINARY_DIR}/native-tools)
set(KESTRIN_EFFECT_BINARY ${tools_dir}/effect/bilateral.fxo)
set(KESTRIN_MODULE_CHECK ${tools_dir}/tests/windows/kestrin-module-check)
# An empty toolchain file: this build's must not reach the native configure, which takes the
# machine's compilers (or CC and CXX from the environment) as any native configure does. The
# build type is the native preset's, so these sources see the flags they are always built with.
ExternalProject_Add(kestrin_native_tools
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${tools_dir}
  CMAKE_ARGS -DKESTRIN_TOOLS_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=
  BUILD_COMMAND ${CMAKE_COMMAND} --build ${tools_dir} --parallel 2
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${KESTRIN_EFFECT_BINARY} ${KESTRIN_MODULE_CHECK}
  USES_TERMINAL_CONFIGURE ON
  USES_TERMINAL_BUILD ON)
