#!/usr/bin/env bash
# The Windows installer under wine64, in a Wine prefix of its own:
#   - msiexec /i orvanta.msi /qn puts the 32-bit DLL and program in
#     Program Files (x86)\Orvanta, the 64-bit DLL in Program Files\Orvanta,
#     the Start-menu shortcut, and the pass-thru key in both registry views,
#     each FunctionLibrary naming the installed DLL of its bitness and none
#     of the library's switches set;
#   - orvanta-wine-host, a 64-bit host program, loads the DLL the registry
#     names (where it is installed) and writes a file to
#     orvanta-adapter-sim on COM7; then finds the library as Windows host
#     programs do (the subkey named Orvanta-IOT in its own registry view)
#     and runs a two-thread UDS session through it;
#   - msiexec /x leaves no file, shortcut, key or product behind;
#   - the same MSI twice, a rebuild of the same version and a newer version
#     leave one product, the newest, and keep switches added by hand in both
#     views; an older one over it is refused;
#   - msiexec /x then leaves each key with the switch alone.
#
#   wine_installer.sh X86_64_BUILD_DIR I686_BUILD_DIR SIM_PROGRAM
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
i686=$(cd "$2" && pwd)
sim=$(realpath "$3")
# shellcheck source=wine_common.sh
source "$here/wine_common.sh"

host="$build/tests/windows/orvanta-wine-host.exe"
for file in "$build/orvanta.msi" "$host" "$sim"; do [ -e "$file" ] || fail "missing $file"; done
version=$(msiinfo export "$build/orvanta.msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
next_version="${version%.*}.$((${version##*.} + 1))"

unset WINEPREFIX  # a fresh prefix: no keys left by the other checks
wine_begin msi
cp "$build/orvanta.msi" .
"$here/../../packaging/windows/build-msi.sh" "$version" "$i686" "$build" orvanta-rebuilt.msi
"$here/../../packaging/windows/build-msi.sh" "$next_version" "$i686" "$build" orvanta-next.msi

key='HKLM\SOFTWARE\PassThruSupport.04.04\Orvanta-IOT'
dir32="$WINEPREFIX/drive_c/Program Files (x86)/Orvanta"
dir64="$WINEPREFIX/drive_c/Program Files/Orvanta"
wine_reg() { "$WINE64" reg "$@" 2>/dev/null | tr -d '\r'; }
msiexec() { "$WINE64" msiexec "$@" /qn; }
shortcuts() { find "$WINEPREFIX/drive_c" -name 'Orvanta-IOT Manual Provision.lnk'; }
# The version of each installed copy of the product, one a line.
installed() {
  wine_reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | awk '
    /^HKEY/ { if (ours) print version; ours = 0 }
    /DisplayName +REG_SZ +Orvanta-IOT Pass-Thru$/ { ours = 1 }
    /DisplayVersion +REG_SZ/ { version = $NF }
    END { if (ours) print version }'
}
expect_installed() {
  [ "$(installed | tr '\n' ' ')" = "$1" ] || fail "$2: installed versions '$(installed | tr '\n' ' ')'"
}

log "msiexec /i orvanta.msi /qn ($version)"
msiexec /i orvanta.msi || fail "install"
expect_installed "$version " "install"
cmp "$dir32/orvanta_passthru.dll" "$i686/passthru/orvanta_passthru.dll" || fail "32-bit DLL"
cmp "$dir32/OrvantaIOTProvision.exe" "$i686/app/win32/OrvantaIOTProvision.exe" || fail "program"
cmp "$dir64/orvanta_passthru.dll" "$build/passthru/orvanta_passthru.dll" || fail "64-bit DLL"
[ "$(shortcuts | wc -l)" = 1 ] || fail "no Start-menu shortcut"
for view in '32 C:\Program Files (x86)' '64 C:\Program Files'; do
  bits=${view%% *} library="${view#* }\\Orvanta\\orvanta_passthru.dll"
  wine_reg query "$key" /reg:"$bits" >"$work/key$bits.txt" || fail "no $bits-bit key"
  grep -qxF "    FunctionLibrary    REG_SZ    $library" "$work/key$bits.txt" ||
    fail "$bits-bit FunctionLibrary: $(grep FunctionLibrary "$work/key$bits.txt")"
  [ -f "$("$WINE64" winepath -u "$library" | tr -d '\r')" ] || fail "$library does not exist"
  grep -qx '    Name    REG_SZ    Orvanta-IOT' "$work/key$bits.txt" || fail "$bits-bit Name"
  ! grep -Eq '^    (Debug|SuppressPopups|IOT) ' "$work/key$bits.txt" || fail "a switch is set"
done

log "a 64-bit host program loads the registered DLL and provisions COM7"
start_sim_on_com7 "$sim"
text="provisioned through the registry"
library=$(sed -n 's/^    FunctionLibrary    REG_SZ    //p' "$work/key64.txt")
timeout 300 "$WINE64" "$host" load "$library" write-file IOT.NET "$text" | tr -d '\r' |
  tee "$work/host.txt" || fail "the host program with the DLL at $library"
[ "$(cat "$work/store/IOT.NET")" = "$text" ] || fail "the adapter's IOT.NET differs"
log "a host program that finds the library by its Name runs UDS with two threads"
timeout 300 "$WINE64" "$host" registry-uds 1ORV4NTA0SIM12345 | tr -d '\r' |
  tee "$work/uds.txt" || fail "the registry-loading UDS host"
stop_sim

log "msiexec /x orvanta.msi /qn"
msiexec /x orvanta.msi || fail "uninstall"
expect_installed "" "uninstall"
[ ! -e "$dir32" ] && [ ! -e "$dir64" ] || fail "files left: $(find "$dir32" "$dir64" 2>/dev/null)"
[ -z "$(shortcuts)" ] || fail "shortcut left"
for bits in 32 64; do
  ! wine_reg query "$key" /reg:"$bits" >/dev/null || fail "$bits-bit key left"
done

# The values of the key in one view (32 or 64), names only, sorted.
value_names() {
  wine_reg query "$key" /reg:"$1" | sed -n 's/^    \([^ ]*\)    REG_.*/\1/p' | sort | tr '\n' ' '
}
# Switches added by hand: Debug in the 64-bit view, IOT in the 32-bit one.
expect_switches() {
  wine_reg query "$key" /reg:64 /v Debug >/dev/null || fail "$1: the 64-bit Debug switch is gone"
  wine_reg query "$key" /reg:32 /v IOT | grep -q 'REG_SZ *0x1F$' ||
    fail "$1: the 32-bit IOT switch is gone"
}

log "the same MSI twice, a rebuild of $version, then $next_version, with switches set by hand"
msiexec /i orvanta.msi || fail "install orvanta.msi"
wine_reg add "$key" /reg:64 /v Debug /d "" /f >/dev/null || fail "reg add Debug"
wine_reg add "$key" /reg:32 /v IOT /d 0x1F /f >/dev/null || fail "reg add IOT"
for msi in orvanta orvanta-rebuilt; do
  msiexec /i "$msi.msi" || fail "install $msi.msi"
  expect_installed "$version " "$msi.msi"
  expect_switches "$msi.msi"
done
msiexec /i orvanta-next.msi || fail "upgrade"
expect_installed "$next_version " "upgrade"
expect_switches "upgrade"
wine_reg query "$key" /reg:64 /v ProductVersion | grep -q "REG_SZ *$next_version\$" ||
  fail "the key's ProductVersion after the upgrade"
[ "$(shortcuts | wc -l)" = 1 ] || fail "shortcuts after the upgrade: $(shortcuts)"
! msiexec /i orvanta.msi || fail "an older version installed over a newer one"
expect_installed "$next_version " "downgrade"
msiexec /x orvanta-next.msi || fail "uninstall $next_version"
expect_installed "" "uninstall $next_version"
[ "$(value_names 64)" = "Debug " ] || fail "64-bit key after uninstall: $(value_names 64)"
[ "$(value_names 32)" = "IOT " ] || fail "32-bit key after uninstall: $(value_names 32)"
log "Windows installer test passed"
