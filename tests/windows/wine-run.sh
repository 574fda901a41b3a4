#!/usr/bin/env bash
# Runs a Windows test program under wine64 (the cross-compiling emulator of
# the x86_64 build: ctest and GoogleTest's test discovery go through it).
# Uses $WINEPREFIX when set; otherwise a prefix of its own next to the
# program, created on first use, so a build never touches ~/.wine.
set -euo pipefail
program=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="$(cd "$(dirname "$program")" && pwd)/.wineprefix"
  export WINEPREFIX
fi
# shellcheck source=wine_common.sh
source "$(dirname "$0")/wine_common.sh"
exec "$WINE64" "$program" "$@"
