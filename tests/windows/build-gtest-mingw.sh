#!/usr/bin/env bash
# Builds GoogleTest for a mingw-w64 target from Debian's googletest sources
# (/usr/src/googletest, shipped by libgtest-dev) and installs it under PREFIX,
# where the mingw-x86_64 preset finds it (GTest_DIR). Does nothing when
# PREFIX already holds a build.
#
#   build-gtest-mingw.sh ARCH PREFIX     (ARCH: x86_64 or i686)
set -euo pipefail
arch=${1:?architecture: x86_64 or i686}
prefix=${2:?install prefix}
root=$(cd "$(dirname "$0")/../.." && pwd)
src=/usr/src/googletest

if [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  exit 0
fi
[ -f "$src/CMakeLists.txt" ] || { echo "missing $src (install libgtest-dev)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake -S "$src" -B "$work" -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=ON -DCMAKE_CROSSCOMPILING_EMULATOR= >/dev/null
cmake --build "$work" -j2 >/dev/null
cmake --install "$work" >/dev/null
echo "GoogleTest for $arch installed in $prefix"
