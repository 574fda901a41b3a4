#!/usr/bin/env bash
# The Windows program: cross builds with mingw-w64 (presets mingw-i686, the
# shipping target, and mingw-x86_64), the 32-bit export table and resources,
# the 64-bit unit tests under wine64 in a throw-away prefix, the Wine
# integration test against orvanta-adapter-sim, the provisioning dialog
# driven under Xvfb, the MSI installer (built with wixl from both builds)
# installed, used by a host program that finds it in the registry, upgraded
# with switches set by hand and removed under wine64, and the Windows timing
# harness run briefly. Screenshots, the debug trace and orvanta.msi are kept
# in build/ci-artifacts/windows.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
export DEBIAN_FRONTEND=noninteractive

packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xdotool imagemagick
  libgtest-dev python3 cmake make g++ wixl msitools libcli11-dev nlohmann-json3-dev)
if ! dpkg -s "${packages[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

artifacts="$root/build/ci-artifacts/windows"
rm -rf "$artifacts"
mkdir -p "$artifacts"

# One throw-away Wine prefix for every Windows program this step runs,
# including GoogleTest's test discovery during the x86_64 build.
WINEPREFIX=$(mktemp -d /tmp/orvanta-ci-wine.XXXXXX)/prefix
export WINEPREFIX
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$(dirname "$WINEPREFIX")"
}
trap cleanup EXIT

echo "-- 32-bit build (mingw-i686)"
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686

echo "-- export table and resources of the 32-bit program and DLL"
python3 tests/windows/check_windows_build.py build/mingw-i686

echo "-- GoogleTest for x86_64 Windows"
tests/windows/build-gtest-mingw.sh x86_64 "$root/build/mingw-gtest-x86_64"

echo "-- 64-bit build (mingw-x86_64)"
wine64=/usr/lib/wine/wine64
DISPLAY= "$wine64" wineboot -i >/dev/null 2>&1 || true
# A short temporary directory (C:\tmp rather than C:\users\<user>\Temp): the
# unit tests put host files there and look for their names in error texts,
# which PassThruGetLastError cuts at 80 characters.
mkdir -p "$WINEPREFIX/drive_c/tmp"
for variable in TEMP TMP; do
  "$wine64" reg add 'HKCU\Environment' /v "$variable" /d 'C:\tmp' /f >/dev/null 2>&1
done
wineserver -w
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64

echo "-- the MSI installer (32-bit and 64-bit files)"
cmake --build --preset mingw-x86_64 --target orvanta-msi
cp build/mingw-x86_64/orvanta.msi "$artifacts/"

echo "-- unit tests under wine64"
run_windows_test() {
  local program=$1
  tests/windows/wine-run.sh "$program" --gtest_brief=1 2>&1 | tr -d '\r' | tee "$artifacts/$(basename "$program" .exe).txt"
  return "${PIPESTATUS[0]}"
}
run_windows_test build/mingw-x86_64/tests/unit_tests.exe
run_windows_test build/mingw-x86_64/tests/windows/win32_backend_tests.exe

# The emulator is a Linux program: the README's build has made it.
sim="$root/build/default/emulator/orvanta-adapter-sim"
if [ ! -x "$sim" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target orvanta-adapter-sim
fi

echo "-- Wine integration test against the emulator"
tests/windows/wine_integration.sh build/mingw-x86_64 "$sim" "$artifacts"

echo "-- the provisioning dialog under Xvfb"
tests/windows/wine_dialog.sh build/mingw-x86_64 "$sim" "$artifacts"

echo "-- the MSI installed, used, upgraded and removed under wine64"
tests/windows/wine_installer.sh build/mingw-x86_64 build/mingw-i686 "$sim"

echo "-- the Windows timing harness, briefly (bench/run_windows_benchmarks.sh)"
bench/run_windows_benchmarks.sh --smoke build/mingw-x86_64 "$sim"

echo "Windows checks passed; artifacts (orvanta.msi included) in build/ci-artifacts/windows"
