#!/usr/bin/env bash
# Install tests: builds the project (or reuses BUILD_DIR), installs it into a
# throw-away prefix and checks the installed tree the way its users meet it:
#  - the layout: library, header, tools, CMake package, pkg-config file,
#    J2534 registration file, udev rule, man pages;
#  - every tool prints the project version, and its man page covers every
#    option and exit code of its --help (and passes man's own checks);
#  - a host program built with find_package(OrvantaPassThru) and one built
#    with pkg-config, each against both flavours of the library, open, read
#    the versions of and close the emulated adapter served by the installed
#    orvanta-adapter-sim;
#  - orvanta-register-passthru links the registration file into a user's
#    ~/.passthru, and a host that knows nothing but that directory loads the
#    library through FUNCTION_LIB with dlopen and talks to the adapter;
#  - the installed orvanta-provision provisions the emulated adapter;
#  - the udev rule's link, the registration file's COM-PORT and the
#    library's default COM directory agree.
#
# Usage: run_install_tests.sh [BUILD_DIR]
#   BUILD_DIR is configured (tests off, prefix /usr as for the package) when
#   it holds no CMake cache yet; without it a temporary one is used.
# Exit status 0 when every check passed; the first failure ends the run with
# a line "FAIL: ..." on standard error.
set -euo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
here=$src/tests/install
# shellcheck source=../common.sh
source "$src/tests/common.sh"
begin_work install
build=${1:-$work/build}
pass() { echo "ok: $*"; }
# Runs a command with its output in LOG; on failure shows the log and fails
# with MESSAGE. Usage: logged LOG MESSAGE COMMAND...
logged() {
  local log=$1 message=$2
  shift 2
  "$@" >>"$log" 2>&1 || { cat "$log"; fail "$message"; }
}

version=$(sed -n 's/^project(OrvantaPassThru VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in $src/CMakeLists.txt"

# --- build and install ------------------------------------------------------------

if [ ! -f "$build/CMakeCache.txt" ]; then
  logged "$work/configure.log" configure cmake -S "$src" -B "$build" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
fi
cmake --build "$build" -j2
prefix=$work/prefix
logged "$work/install.log" "cmake --install" cmake --install "$build" --prefix "$prefix"

libdir=$(dirname "$(find "$prefix" -name 'liborvanta_passthru.so.*' -print -quit)")
[ -d "$libdir" ] || fail "no liborvanta_passthru.so.* installed"
json=$prefix/share/orvanta/passthru/orvanta-iot.json
rule=$prefix/lib/udev/rules.d/60-orvanta.rules
for f in "$libdir/liborvanta_passthru.so" "$libdir/liborvanta_passthru.so.${version%%.*}" \
  "$prefix/include/orvanta_j2534.h" "$prefix/bin/orvanta-provision" \
  "$prefix/bin/orvanta-adapter-sim" "$prefix/bin/orvanta-register-passthru" \
  "$libdir/cmake/OrvantaPassThru/OrvantaPassThruConfig.cmake" \
  "$libdir/cmake/OrvantaPassThru/OrvantaPassThruConfigVersion.cmake" \
  "$libdir/pkgconfig/orvanta-passthru.pc" "$json" "$rule" \
  "$prefix/share/man/man1/orvanta-provision.1.gz" \
  "$prefix/share/man/man1/orvanta-adapter-sim.1.gz" \
  "$prefix/share/man/man1/orvanta-register-passthru.1.gz"; do
  [ -e "$f" ] || fail "not installed: ${f#"$prefix"/}"
done
pass "installed layout under $prefix"

# --- versions, help texts and man pages -------------------------------------------

for tool in orvanta-provision orvanta-adapter-sim orvanta-register-passthru; do
  out=$("$prefix/bin/$tool" --version) || fail "$tool --version exits non-zero"
  [ "$out" = "$tool $version" ] || fail "$tool --version prints '$out', not '$tool $version'"

  help=$("$prefix/bin/$tool" --help) || fail "$tool --help exits non-zero"
  page=$work/$tool.1
  gzip -dc "$prefix/share/man/man1/$tool.1.gz" >"$page"
  plain=$(sed 's/\\-/-/g' "$page")
  for option in $(grep -oE -- '--[a-z][a-z-]*[a-z]' <<<"$help" | sort -u); do
    grep -qF -- "$option" <<<"$plain" || fail "the man page of $tool does not mention $option"
  done
  exit_section=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH [^E]/p' "$page")
  for code in $(sed -n '/^Exit codes:/,$p' <<<"$help" | sed -n 's/^  \([0-9][0-9]*\)  .*/\1/p'); do
    grep -qx "\.B $code" <<<"$exit_section" || fail "the man page of $tool lacks exit code $code"
  done
  if command -v man >/dev/null 2>&1; then
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
      man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warns about the page of $tool: $warnings"
  fi
done
pass "--version prints $version; man pages cover every option and exit code of --help"

# --- the registration file, the udev rule and the library agree ------------------------

com_port=$(sed -n 's/^ *"COM-PORT": *"\([^"]*\)".*/\1/p' "$json")
function_lib=$(sed -n 's/^ *"FUNCTION_LIB": *"\([^"]*\)".*/\1/p' "$json")
udev_link=$(sed -n 's/.*SYMLINK+="\([^"]*\)".*/\1/p' "$rule")
port=${com_port##*/com}
[ "$function_lib" = "$libdir/liborvanta_passthru.so.${version%%.*}" ] ||
  fail "FUNCTION_LIB is '$function_lib', not the installed library"
[ "/dev/$udev_link" = "$com_port" ] || fail "udev links /dev/$udev_link, COM-PORT is $com_port"
[[ "$port" =~ ^[0-9]+$ ]] || fail "COM-PORT $com_port does not end in com<N>"
LC_ALL=C grep -qaP "\\x00$(dirname "$com_port")\\x00" "$libdir/liborvanta_passthru.so" ||
  fail "the library's default COM directory is not $(dirname "$com_port")"
pass "COM-PORT $com_port = udev link = the library's default place of COM port $port"

# --- the emulated adapter -----------------------------------------------------------

export ORVANTA_COM_DIR=$work/com
export ORVANTA_REGISTRY=$work/no-registry.ini # no settings of this machine's
mkdir -p "$work/store"
start_sim "$prefix/bin/orvanta-adapter-sim" "$ORVANTA_COM_DIR" --port "$port" --store "$work/store"

expect_adapter() { # name output
  grep -qx "device $port firmware .* api 04.04" <<<"$2" || fail "$1 printed: $2"
}

# --- hosts built with find_package and with pkg-config, both flavours ------------------

logged "$work/cmake_host.log" "find_package(OrvantaPassThru) in a host project" \
  cmake -S "$here/cmake_host" -B "$work/cmake_host" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release
logged "$work/cmake_host.log" "building the find_package host" cmake --build "$work/cmake_host"
export PKG_CONFIG_PATH=$libdir/pkgconfig
pc_version=$(pkg-config --modversion orvanta-passthru) || fail "pkg-config finds no orvanta-passthru"
[ "$pc_version" = "$version" ] || fail "pkg-config reports version $pc_version"
for flavour in "" -lp64; do
  out=$("$work/cmake_host/host_open${flavour/-/_}") || fail "find_package host$flavour: $out"
  expect_adapter "find_package host$flavour" "$out"
  pass "find_package host$flavour: $out"
  package=orvanta-passthru$flavour
  # shellcheck disable=SC2046 # the flags are meant to split
  cc -std=c11 -Wall -Wextra -Wpedantic -Werror -o "$work/pc_host$flavour" "$here/host_open.c" \
    $(pkg-config --cflags --libs "$package") \
    -Wl,-rpath,"$(pkg-config --variable=libdir "$package")" || fail "building the $package host"
  out=$("$work/pc_host$flavour" "COM$port") || fail "$package host: $out"
  expect_adapter "$package host" "$out"
  pass "$package host (COM$port named): $out"
done

# --- registration in ~/.passthru and a dlopen host -----------------------------------------

home=$work/home
mkdir -p "$home"
HOME=$home "$prefix/bin/orvanta-register-passthru" >/dev/null || fail "orvanta-register-passthru"
[ "$home/.passthru/orvanta-iot.json" -ef "$json" ] || fail "~/.passthru/orvanta-iot.json is not the installed file"
# A host that knows nothing but ~/.passthru: the file whose NAME is
# Orvanta-IOT names the library, which it loads with dlopen (ctypes) and
# asks for the adapter's versions.
out=$(python3 - "$home/.passthru" <<'EOF'
import ctypes, glob, json, sys
entries = [json.load(open(path)) for path in glob.glob(sys.argv[1] + "/*.json")]
entry = next(e for e in entries if e.get("NAME") == "Orvanta-IOT")
print("FUNCTION_LIB", entry["FUNCTION_LIB"])
print("protocols", *sorted(key for key, value in entry.items() if value is True))
lib = ctypes.CDLL(entry["FUNCTION_LIB"])
device = ctypes.c_uint32()
texts = [ctypes.create_string_buffer(80) for _ in range(4)]
status = lib.PassThruOpen(None, ctypes.byref(device)) or \
    lib.PassThruReadVersion(device, *texts[:3]) or lib.PassThruClose(device)
if status:
    lib.PassThruGetLastError(texts[3])
    sys.exit(f"a J2534 call returned {status} ({texts[3].value.decode()})")
print("device", device.value, "api", texts[2].value.decode())
EOF
) || fail "dlopen host: $out"
for line in "FUNCTION_LIB $function_lib" "protocols CAN ISO14230 ISO15765 ISO9141" \
  "device $port api 04.04"; do
  grep -qxF "$line" <<<"$out" || fail "dlopen host lacks '$line': $out"
done
pass "dlopen host through ~/.passthru: $(tr '\n' ';' <<<"$out")"

HOME=$home "$prefix/bin/orvanta-register-passthru" --remove >/dev/null || fail "unregister"
[ ! -e "$home/.passthru/orvanta-iot.json" ] || fail "--remove left the link"
echo '{"NAME": "Orvanta-IOT"}' >"$home/.passthru/orvanta-iot.json"
rc=0
HOME=$home "$prefix/bin/orvanta-register-passthru" 2>/dev/null || rc=$?
[ "$rc" -eq 3 ] || fail "registering over the user's own file exits $rc, not 3"
grep -q '"NAME"' "$home/.passthru/orvanta-iot.json" || fail "the user's own file was replaced"
pass "registration removed again; a user's own file is left alone"

# --- the installed provisioning tool ---------------------------------------------------------

mkdir -p "$work/provision"
out=$(cd "$work/provision" && env -u LD_LIBRARY_PATH "$prefix/bin/orvanta-provision" \
  --ssid TestNet --password-stdin <<<"secret123" 2>&1) || fail "orvanta-provision: $out"
grep -q "SUCCESS" <<<"$out" || fail "orvanta-provision printed: $out"
network_file TestNet secret123 >"$work/expected.net"
# The simulator writes the file when the host closes it.
retry 50 cmp -s "$work/expected.net" "$work/store/IOT.NET" ||
  fail "the adapter's IOT.NET is not the network"
pass "installed orvanta-provision provisioned the emulated adapter"

stop_sim
[ "$SIM_RC" -eq 0 ] || fail "orvanta-adapter-sim exited $SIM_RC"
[ ! -e "$ORVANTA_COM_DIR/com$port" ] || fail "orvanta-adapter-sim left its link behind"
echo "install tests passed"
