# Installs the Debian packages a script of this project needs, before it
# needs them. Sourced by demo.sh and test.sh (bash):
#
#   . scripts/prereqs.sh
#   orv_require_packages demo cmake make g++ libgtest-dev
#
# Packages already installed are left alone, so a second run installs
# nothing. Missing ones are named and installed with apt-get: directly when
# running as root, through sudo otherwise. Where neither works, or where
# there is no apt, the command to run is printed and the script exits with
# ORV_PREREQS_MISSING.

ORV_PREREQS_MISSING=69

# Prints the packages among "$@" that dpkg does not list as installed.
orv_missing_packages() {
  local package
  for package in "$@"; do
    if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]]; then
      printf '%s\n' "$package"
    fi
  done
}

# Prints what the user has to run and ends the calling script.
orv_give_up() {
  local who=$1 reason=$2
  shift 2
  {
    echo "$who: $reason"
    echo "$who: install the missing prerequisites, then run this script again:"
    echo "    sudo apt-get install $*"
  } >&2
  exit "$ORV_PREREQS_MISSING"
}

# Runs apt-get as root: itself when already root, else through sudo (which
# may ask for the user's password; sudoers that allow only apt-get suffice).
orv_apt_get() {
  if [[ $(id -u) -eq 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get "$@"
  else
    sudo apt-get "$@"
  fi
}

# orv_require_packages WHO PACKAGE... (WHO names the script in messages).
orv_require_packages() {
  local who=$1
  shift
  if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
    # Not Debian: the tools may still be there under other package names.
    command -v cmake >/dev/null && command -v c++ >/dev/null && command -v make >/dev/null &&
      return 0
    orv_give_up "$who" "cmake, make or a C++ compiler is missing and this system has no apt-get" \
      "$@"
  fi
  local missing
  mapfile -t missing < <(orv_missing_packages "$@")
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]] && ! command -v sudo >/dev/null; then
    orv_give_up "$who" "missing ${missing[*]}; installing needs root, and sudo is not installed" \
      "${missing[@]}"
  fi
  echo "== Installing missing prerequisites: ${missing[*]}"
  if ! orv_apt_get update -qq || ! orv_apt_get install -y -qq --no-install-recommends \
    "${missing[@]}"; then
    orv_give_up "$who" "apt-get could not install ${missing[*]}" "${missing[@]}"
  fi
}
