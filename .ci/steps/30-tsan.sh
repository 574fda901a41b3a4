#!/usr/bin/env bash
# Thread-sanitizer step: builds the unit and integration tests with clang and
# -fsanitize=thread (preset tsan, build/tsan), runs the unit tests (the
# concurrency suite among them, over the in-process adapter) and the one
# concurrency case over a pseudo-terminal. Any data race fails the step.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
if ! dpkg -s clang libclang-rt-14-dev >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null
fi

cmake --workflow --preset tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan --output-on-failure -R 'ConcurrencyPtyTest\.'
echo "thread sanitizer passed"
