#!/usr/bin/env bash
# Builds the Windows installer from orvanta.wxs with wixl (Debian package
# wixl): the 32-bit files of the mingw-i686 build and the 64-bit DLL of the
# mingw-x86_64 build in one MSI.
#
#   build-msi.sh VERSION I686_BUILD_DIR X86_64_BUILD_DIR OUTPUT.msi
#
# wixl only warns about attributes it does not know and leaves them out;
# here any warning fails the build, so the MSI is what orvanta.wxs says.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 4 ] || { echo "usage: $0 VERSION I686_BUILD_DIR X86_64_BUILD_DIR OUTPUT.msi" >&2; exit 2; }
version=$1 i686=$2 x86_64=$3 output=$4

# Windows Installer versions: major and minor up to 255, build up to 65535.
[[ $version =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] &&
  ((BASH_REMATCH[1] < 256 && BASH_REMATCH[2] < 256 && BASH_REMATCH[3] < 65535)) ||
  { echo "version must be x.y.z within Windows Installer limits: $version" >&2; exit 2; }
next_version="${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.$((BASH_REMATCH[3] + 1))"

for file in "$i686/passthru/orvanta_passthru.dll" "$i686/app/win32/OrvantaIOTProvision.exe" \
            "$x86_64/passthru/orvanta_passthru.dll"; do
  [ -f "$file" ] || { echo "missing $file" >&2; exit 1; }
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! wixl --arch x64 --includedir "$here" -D "Version=$version" -D "NextVersion=$next_version" \
     -D "I686Build=$(realpath --relative-to=. "$i686")" -D "X86_64Build=$(realpath --relative-to=. "$x86_64")" \
     -o "$output" "$here/orvanta.wxs" 2>"$log" || grep -q . "$log"; then
  cat "$log" >&2
  rm -f "$output"
  exit 1
fi
