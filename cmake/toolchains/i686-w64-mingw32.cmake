# 32-bit Windows with Debian's mingw-w64 cross tools (g++-mingw-w64-i686, binutils-mingw-w64-i686).
#
# The -posix compilers: their C++ runtime has std::thread and std::mutex (kestrin-run's thread
# pool), which the default -win32 variant lacks. Everything links statically (libgcc, libstdc++,
# winpthread), so the programs need no runtime DLL beside the system's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KESTRIN_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIN_MINGW_PREFIX}-windres)
set(CMAKE_AR ${KESTRIN_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KESTRIN_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${KESTRIN_MINGW_PREFIX}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${KESTRIN_MINGW_PREFIX}-strip CACHE FILEPATH "")

# Headers and libraries from the cross root only; programs (wine, xvfb-run, zip) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# SSE2 arithmetic instead of the x87 unit: single-precision results rounded once, as on the
# native build, so that the reference model computes the same bits in a Windows program.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# A static runtime; no link time stamp in the headers (the same sources give the same bytes);
# ASLR and DEP, which recent binutils set by default, asked for explicitly.
set(kestrin_link "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -Wl,--dynamicbase -Wl,--nxcompat")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kestrin_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kestrin_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kestrin_link}")
unset(kestrin_link)

# Release builds are shipped: stripped of symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
