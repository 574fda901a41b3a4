#!/usr/bin/env bash
# Fresh-system step: bootstraps a minimal Debian 12 (git and ca-certificates
# only), clones the commit under test into it and runs the README's two
# commands there as root, exactly as a new user would: ./demo.sh, then
# ./test.sh. Passes when the demo printed the IOT.NET bytes the README shows,
# a second ./demo.sh installed nothing, and every test passed.
#
# Needs root and debootstrap. The chroot lives in a fresh directory under
# /var/tmp (ORV_FRESH_TMP overrides) and is unmounted and removed on every
# exit path. ORV_DEBIAN_MIRROR overrides the mirror (default: the one this
# machine's apt uses).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

phase() {  # a heading with the seconds since the step began
  printf '== [%4ds] %s\n' "$SECONDS" "$*"
}

fail() {
  echo "FAIL: fresh Debian: $*" >&2
  exit 1
}

# The Debian mirror this machine's apt already reaches.
host_mirror() {
  local uri
  uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\?$/\1/p' \
    /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  [[ -n $uri ]] || uri=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ { print $2; exit }' \
    /etc/apt/sources.list 2>/dev/null)
  echo "${uri:-http://deb.debian.org/debian}"
}

[[ $(id -u) -eq 0 ]] || fail "needs root (debootstrap, chroot, mount)"
command -v debootstrap >/dev/null || fail "debootstrap is not installed"
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "fresh Debian: note: uncommitted changes are not tested"
mirror=${ORV_DEBIAN_MIRROR:-$(host_mirror)}

work=$(mktemp -d "${ORV_FRESH_TMP:-/var/tmp}/orvanta-fresh-debian.XXXXXX")
root=$work/root
mounted=()

# Unmounts in reverse order; removes the tree only once nothing is mounted
# below it, so that a stuck bind mount can never take the host's /dev along.
cleanup() {
  local status=$? i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  if grep -q " $work/" /proc/mounts; then
    echo "fresh Debian: mounts left under $work, not removed:" >&2
    grep " $work/" /proc/mounts >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_into() {  # mount_into TARGET MOUNT-ARGUMENTS...
  local target=$root$1
  shift
  mount "$@" "$target"
  mounted+=("$target")
}

phase "Bootstrapping Debian 12 from $mirror"
debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" \
  >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log"; fail "debootstrap"; }

phase "Cloning $commit"
git clone --quiet --no-checkout "$repo" "$root/root/orvanta"
git -C "$root/root/orvanta" checkout --quiet --detach "$commit"

mount_into /proc -t proc proc
mount_into /dev --bind /dev
mount_into /dev/pts --bind /dev/pts
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Runs one command in the clone, as root, with a new user's bare environment;
# shows its output and keeps a copy in $work/NAME.out.
in_chroot() {  # in_chroot NAME COMMAND...
  local name=$1 status
  shift
  set +o errexit
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c 'cd /root/orvanta && "$@"' in_chroot "$@" 2>&1 | tee "$work/$name.out"
  status=${PIPESTATUS[0]}
  set -o errexit
  return "$status"
}

phase "./demo.sh"
in_chroot demo ./demo.sh || fail "./demo.sh exited with $?"
while IFS= read -r line; do
  grep -qxF -- "$line" "$work/demo.out" || fail "the demo did not print: $line"
done < <(grep -E '^00000(00|16) ' README.md)
echo "fresh Debian: the demo printed the IOT.NET bytes shown in the README"

phase "./demo.sh again (installs nothing)"
in_chroot demo2 ./demo.sh >/dev/null || { cat "$work/demo2.out"; fail "second ./demo.sh"; }
! grep -q 'Installing missing prerequisites' "$work/demo2.out" ||
  fail "the second ./demo.sh installed packages again"

phase "./test.sh"
status=0
in_chroot test ./test.sh || status=$?
[[ $status -eq 0 ]] || fail "./test.sh exited with $status"
grep -q '^100% tests passed' "$work/test.out" || fail "CTest did not report every test passed"
phase "done: the README's two commands succeeded"
