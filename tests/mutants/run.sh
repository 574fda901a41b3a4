#!/usr/bin/env bash
# Mutation check of the unit tests: applies each named single-point
# mutation of tests/mutants/mutants.txt to a copy of the sources, one at a
# time, rebuilds the unit test program there (incrementally, in its own
# build directory) and runs it. A mutant is caught when the tests fail.
# A mutant marked "build: tsan" (a lock left out) is built with the thread
# sanitizer instead and caught when the concurrency tests fail or race.
#
# Usage: tests/mutants/run.sh [--sample K] [--only NAME] [--list]
#   --sample K  K mutants, a window that moves with the CI run number
#               ($GITHUB_RUN_NUMBER or $CI_RUN_NUMBER, else the day of the
#               year), so that successive runs exercise every mutant
#   --only NAME the one mutant NAME
# Last line: "K of N mutants caught"; exit 1 when one survived, 2 when a
# mutant's text is no longer found once in its file (the table needs care).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
table=$root/tests/mutants/mutants.txt
work=${MUTANTS_DIR:-$root/build/mutants}
sample=0 only="" list=0
while [ $# -gt 0 ]; do
  case $1 in
    --sample) sample=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --list) list=1; shift ;;
    *) echo "usage: $0 [--sample K] [--only NAME] [--list]" >&2; exit 64 ;;
  esac
done

# The table: blocks of "name:", "file:", "find:" and "replace:" lines.
# In find and replace, "\n" stands for a line break.
names=() files=() finds=() repls=() builds=()
while IFS= read -r line; do
  case $line in
    name:\ *) names+=("${line#name: }") builds+=("") ;;
    build:\ *) builds[${#builds[@]} - 1]=${line#build: } ;;
    file:\ *) files+=("${line#file: }") ;;
    find:\ *) finds+=("${line#find: }") ;;
    replace:*) r=${line#replace:}; repls+=("${r# }") ;;
  esac
done <"$table"
n=${#names[@]}
if [ "$n" -ne "${#files[@]}" ] || [ "$n" -ne "${#finds[@]}" ] || [ "$n" -ne "${#repls[@]}" ]; then
  echo "error: $table has an incomplete block" >&2
  exit 2
fi

# Every mutant must still apply: its text found exactly once.
occurrences() {  # FILE TEXT -> how often TEXT occurs in FILE
  python3 -c 'import sys; print(open(sys.argv[1]).read().count(sys.argv[2].replace("\\n", "\n")))' "$@" 2>/dev/null || echo 0
}
stale=0
for ((i = 0; i < n; i++)); do
  found=$(occurrences "$root/${files[i]}" "${finds[i]}")
  if [ "$found" != 1 ]; then
    echo "error: mutant ${names[i]}: text found $found times in ${files[i]}: ${finds[i]}" >&2
    stale=1
  fi
done
[ "$stale" = 0 ] || exit 2
if [ "$list" = 1 ]; then printf '%s\n' "${names[@]}"; exit 0; fi

picked=()
if [ -n "$only" ]; then
  for ((i = 0; i < n; i++)); do [ "${names[i]}" = "$only" ] && picked+=("$i"); done
  [ ${#picked[@]} = 1 ] || { echo "error: no mutant $only" >&2; exit 2; }
elif [ "$sample" -gt 0 ] && [ "$sample" -lt "$n" ]; then
  run=${GITHUB_RUN_NUMBER:-${CI_RUN_NUMBER:-$(date +%j | sed 's/^0*//')}}
  start=$(((run * sample) % n))
  for ((k = 0; k < sample; k++)); do picked+=($(((start + k) % n))); done
else
  for ((i = 0; i < n; i++)); do picked+=("$i"); done
fi

# A private copy of the tracked sources, built incrementally: files that
# changed are copied (and so rebuilt), files no longer tracked removed.
src=$work/src
mkdir -p "$src"
python3 - "$root" "$src" <<'PY'
import filecmp, os, shutil, subprocess, sys
root, src = sys.argv[1:3]
listed = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True)
tracked = {f for f in listed.stdout.decode().split("\0") if f and os.path.isfile(os.path.join(root, f))}
for name in tracked:
    a, b = os.path.join(root, name), os.path.join(src, name)
    if os.path.isfile(b) and filecmp.cmp(a, b, shallow=False):
        continue
    os.makedirs(os.path.dirname(b), exist_ok=True)
    shutil.copyfile(a, b)
    shutil.copymode(a, b)
for top, _, names in os.walk(src):
    for name in names:
        path = os.path.join(top, name)
        if os.path.relpath(path, src) not in tracked:
            os.remove(path)
PY
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$work}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Two builds of the copy: plain, and (only when a picked mutant needs it)
# with the thread sanitizer, which runs just the concurrency tests.
kind=plain
configure() {
  local dir=$work/build extra=()
  if [ "$kind" = tsan ]; then
    dir=$work/build-tsan
    extra=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DORV_SANITIZE_THREAD=ON)
  fi
  [ -f "$dir/CMakeCache.txt" ] ||
    cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "${extra[@]}" >/dev/null
}
dir() { if [ "$kind" = tsan ]; then echo "$work/build-tsan"; else echo "$work/build"; fi; }
build() { cmake --build "$(dir)" -j2 --target unit_tests >"$work/build.log" 2>&1; }
# (In a subshell: a mutant that crashes the tests is caught, not news.)
run_tests() {
  local filter=()
  [ "$kind" = tsan ] && filter=(--gtest_filter='Concurrency*')
  (TSAN_OPTIONS=halt_on_error=1 timeout 900 "$(dir)/tests/unit_tests" --gtest_brief=1 \
    --gtest_fail_fast "${filter[@]}" >"$work/test.log" 2>&1) 2>/dev/null
}
# Builds the unmutated copy of the current kind once and checks that its
# tests pass.
declare -A ready=()
prepare() {
  [ -n "${ready[$kind]:-}" ] && return 0
  configure
  build || { tail -n 30 "$work/build.log" >&2; echo "error: the unmutated sources do not build ($kind)" >&2; exit 2; }
  run_tests || { tail -n 30 "$work/test.log" >&2; echo "error: the unit tests fail without a mutant ($kind)" >&2; exit 2; }
  ready[$kind]=1
}

caught=0 survivors=()
for i in "${picked[@]}"; do
  kind=${builds[i]:-plain}
  prepare
  file=$src/${files[i]}
  cp "$file" "$work/original"
  python3 - "$file" "${finds[i]}" "${repls[i]}" <<'PY'
import sys
path, find, repl = sys.argv[1:4]
text = open(path).read()
open(path, "w").write(text.replace(find.replace("\\n", "\n"), repl.replace("\\n", "\n"), 1))
PY
  start=$SECONDS
  if ! build; then
    verdict="does not build"
    tail -n 20 "$work/build.log" >&2
    stale=1
  elif run_tests; then
    verdict=SURVIVED
    survivors+=("${names[i]}")
  else
    verdict=caught
    caught=$((caught + 1))
  fi
  cp "$work/original" "$file"
  printf '%-44s %-15s %3ss  (%s)\n' "${names[i]}" "$verdict" $((SECONDS - start)) "${files[i]}"
done
# Leave the copies built unmutated for the next run.
for kind in "${!ready[@]}"; do build >/dev/null 2>&1 || true; done

echo "${caught} of ${#picked[@]} mutants caught"
[ "$stale" = 0 ] || exit 2
[ ${#survivors[@]} = 0 ] || { echo "survivors: ${survivors[*]}" >&2; exit 1; }
