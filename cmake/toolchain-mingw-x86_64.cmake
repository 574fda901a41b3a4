# Cross toolchain for 64-bit Windows with mingw-w64 (Debian package
# g++-mingw-w64-x86-64). Built from the same sources as the 32-bit program so
# that the tests can run under wine64 on a 64-bit-only Linux machine; the
# test programs run through the emulator wrapper below (ctest, gtest
# discovery).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ORV_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh)
