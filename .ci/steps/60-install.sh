#!/usr/bin/env bash
# Install and package step: builds the project for installation (prefix
# /usr, tests off) in build/package, runs the install tests against a
# throw-away prefix, then builds the Debian package with CPack and checks
# it: its control fields, its maintainer scripts, that apt could install it
# here, and, unpacked with dpkg -x into a throw-away root, that its files
# name each other correctly, that the installed tools run and that
# Debian's python3 with python3-can finds the Python binding through
# python-can's entry point and talks to the installed simulator with it.
# Any failure fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
# dpkg-dev brings dpkg-shlibdeps for the package's Depends; man-db and
# groff-base check the man pages.
needed=(pkg-config dpkg-dev file man-db groff-base gzip binutils python3-can)
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
grep -q '\bpython3-can\b' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends lacks python3-can"
for script in postinst prerm postrm; do
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
# With the adapter tool comes Wireshark's extcap program, in the folder
# Wireshark reads, answering as one.
if [ -e "$root/usr/bin/orvanta-adapter" ]; then
  extcap=$root/usr/lib/$(gcc -dumpmachine)/wireshark/extcap/orvanta-extcap
  [ -x "$extcap" ] || fail "the package lacks $extcap"
  grep -q '^interface {value=orvanta-trace}' <<<"$("$extcap" --extcap-interfaces)" ||
    fail "orvanta-extcap --extcap-interfaces lists no orvanta-trace"
fi

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

# --- the Python binding, as Debian's python3 sees it --------------------------------------
dist=$root/usr/lib/python3/dist-packages
[ -f "$dist/orvanta_can/__init__.py" ] || fail "the package lacks the Python binding"
grep -q '^orvanta = orvanta_can:OrvantaBus$' "$dist/orvanta_can-$version.dist-info/entry_points.txt" ||
  fail "the Python binding has no can.interface entry point"
"$root/usr/bin/orvanta-adapter-sim" --com-dir "$work/com" --ready-file "$work/ready" --port 7 \
  --log 2>"$work/sim.log" &
sim=$!
for _ in $(seq 100); do [ -f "$work/ready" ] && break || sleep 0.05; done
cat >"$work/binding.py" <<'EOF'
import sys
import can
from orvanta_can import IsoTpChannel
with can.Bus(interface="orvanta", channel="COM7", library=sys.argv[1]) as bus:
    bus.send(can.Message(arbitration_id=0x7E0, data=[2, 1, 0], is_extended_id=False))
with IsoTpChannel("COM7", library=sys.argv[1]) as isotp:
    isotp.send(b"\x09\x02")
    assert isotp.recv(2.0)[:2] == b"\x49\x02", "no answer to 09 02"
EOF
status=0
ORVANTA_COM_DIR=$work/com PYTHONPATH=$dist /usr/bin/python3 "$work/binding.py" \
  "$libdir/liborvanta_passthru.so.1" || status=$?
kill "$sim"
wait "$sim" || true
[ "$status" = 0 ] || fail "the installed Python binding cannot use the simulator"
grep -q "07 E0 02 01 00" "$work/sim.log" || fail "the simulator did not get the binding's frame"
echo "package $(basename "$deb") checked"
