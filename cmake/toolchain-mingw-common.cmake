# Shared part of the mingw-w64 cross toolchains; included by
# toolchain-mingw-<arch>.cmake after it has set ORV_MINGW_TRIPLE.
#
# The programs and the DLL are linked statically against the compiler's
# runtime so that they need nothing beyond Windows' own DLLs. The posix
# thread model of the compiler is used because GoogleTest and the standard
# library's <mutex> and <thread> need it; the static link keeps its
# libwinpthread inside the binaries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)  # Windows 7 and later

set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLE}-windres)

# Look for programs on the build machine, and for libraries, headers and
# packages only under the target root. GoogleTest built for the target is
# found through GTest_DIR (set by the mingw-x86_64 preset).
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
