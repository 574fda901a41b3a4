# Cross toolchain for 32-bit Windows (the shipping target) with mingw-w64
# (Debian package g++-mingw-w64-i686).
#
# The API functions are stdcall and exported decorated (PassThruOpen@8);
# J2534 host programs look them up undecorated with GetProcAddress, so every
# DLL also exports each stdcall name without its suffix.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ORV_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,--add-stdcall-alias")
