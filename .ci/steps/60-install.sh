#!/usr/bin/env bash
# Install and package step: builds the project for installation (prefix
# /usr, tests off) in build/package, runs the install tests against a
# throw-away prefix, then builds the Debian package with CPack and checks
# it: its control fields, its maintainer scripts, that apt could install it
# here, and, unpacked with dpkg -x into a throw-away root, that its files
# name each other correctly and that the installed tools run.
# Any failure fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
# dpkg-dev brings dpkg-shlibdeps for the package's Depends; man-db and
# groff-base check the man pages.
needed=(pkg-config dpkg-dev file man-db groff-base gzip binutils)
if ! dpkg -s "${needed[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${needed[@]}"
fi

build=build/package
bash tests/install/run_install_tests.sh "$build"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(OrvantaPassThru VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
rm -f "$build"/orvanta-passthru_*.deb
(cd "$build" && cpack -G DEB)
deb=$build/orvanta-passthru_${version}_${arch}.deb
[ -f "$deb" ] || fail "cpack made no $deb"

# --- control fields and maintainer scripts ----------------------------------------------
dpkg-deb -I "$deb"
[ "$(dpkg-deb -f "$deb" Package)" = orvanta-passthru ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "package architecture"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends '$depends' lacks $lib"
done
work=$(mktemp -d "${TMPDIR:-/tmp}/orvanta-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-deb -e "$deb" "$work/control"
for script in postinst postrm; do
  sh -n "$work/control/$script" || fail "$script is not valid sh"
done
grep -q '^liborvanta_passthru 1 orvanta-passthru' "$work/control/shlibs" || fail "no shlibs entry"
grep -q '^liborvanta_passthru_lp64 1 orvanta-passthru' "$work/control/shlibs" ||
  fail "no shlibs entry for the unsigned long flavour"
writable=$(dpkg-deb -c "$deb" | awk '$1 !~ /^l/ && $1 ~ /^(.....w|........w)/')
[ -z "$writable" ] || fail "files writable by group or others: $writable"
# apt resolves the package's dependencies from this machine's archive.
apt-get install --simulate --no-install-recommends "./$deb" >"$work/apt.log" 2>&1 || {
  cat "$work/apt.log"
  fail "apt-get cannot install $deb"
}

# --- unpacked into a throw-away root ------------------------------------------------------
root=$work/root
dpkg -x "$deb" "$root"
json=$root/usr/share/orvanta/passthru/orvanta-iot.json
function_lib=$(sed -n 's/^ *"FUNCTION_LIB": *"\([^"]*\)".*/\1/p' "$json")
case "$function_lib" in
  /usr/lib/*/liborvanta_passthru.so.1 | /usr/lib/liborvanta_passthru.so.1) ;;
  *) fail "FUNCTION_LIB is '$function_lib', not under /usr/lib" ;;
esac
[ -f "$root$function_lib" ] || [ -L "$root$function_lib" ] || fail "the package lacks $function_lib"
libdir=$root$(dirname "$function_lib")
grep -q 'ELF .* shared object' <<<"$(file -L "$root$function_lib")" ||
  fail "$function_lib is no shared object"
grep -q '^prefix=/usr$' "$libdir/pkgconfig/orvanta-passthru.pc" || fail "the .pc file's prefix is not /usr"
grep -q '^prefix=/usr$' "$libdir/pkgconfig/orvanta-passthru-lp64.pc" || fail "no /usr orvanta-passthru-lp64.pc"
[ -f "$libdir/liborvanta_passthru_lp64.so.1" ] || [ -L "$libdir/liborvanta_passthru_lp64.so.1" ] ||
  fail "the package lacks liborvanta_passthru_lp64.so.1"
[ -f "$root/usr/lib/udev/rules.d/60-orvanta.rules" ] || fail "the package lacks the udev rule"
[ -f "$root/usr/include/orvanta_j2534.h" ] || fail "the package lacks the header"
[ -f "$libdir/cmake/OrvantaPassThru/OrvantaPassThruConfig.cmake" ] || fail "the package lacks the CMake package"

export LD_LIBRARY_PATH=$libdir
# The command-line build links the shared library; the build with the
# desktop dialog carries the static one.
# (Outputs are captured first: grep -q ending a pipe early trips pipefail.)
if grep -q 'NEEDED.*liborvanta_passthru' <<<"$(readelf -d "$root/usr/bin/orvanta-provision")"; then
  grep -q "liborvanta_passthru.so.1 => $libdir/" <<<"$(ldd "$root/usr/bin/orvanta-provision")" ||
    fail "orvanta-provision does not load the unpacked library"
fi
"$root/usr/bin/orvanta-provision" --help >"$work/help.txt" || fail "installed orvanta-provision --help"
grep -q '^Usage: orvanta-provision' "$work/help.txt" || fail "orvanta-provision --help printed no usage"
[ "$("$root/usr/bin/orvanta-provision" --version)" = "orvanta-provision $version" ] ||
  fail "installed orvanta-provision --version"
[ "$("$root/usr/bin/orvanta-adapter-sim" --version)" = "orvanta-adapter-sim $version" ] ||
  fail "installed orvanta-adapter-sim --version"
HOME=$work/home "$root/usr/bin/orvanta-register-passthru" >/dev/null || fail "orvanta-register-passthru"
[ "$work/home/.passthru/orvanta-iot.json" -ef "$json" ] || fail "registration link"
echo "package $(basename "$deb") checked"
