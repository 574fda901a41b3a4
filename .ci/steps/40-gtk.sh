#!/usr/bin/env bash
# Desktop dialog step: installs GTK 3, Xvfb, xdotool, a window manager and
# the screenshot tools, builds orvanta-provision with its dialog (GTK
# required) in build/gtk, and runs the dialog's end-to-end test under Xvfb
# for real: a missing tool fails the step instead of skipping the test.
# The screenshots are left in build/gtk/e2e-screenshots.
set -euo pipefail
cd "$(dirname "$0")/../.."

export DEBIAN_FRONTEND=noninteractive
# openbox gives the windows title bars and a real iconify; xprop (x11-utils)
# tells when it is ready; import (imagemagick) takes the screenshots.
needed=(pkg-config libgtk-3-dev xvfb xdotool openbox x11-utils imagemagick)
if ! dpkg -s "${needed[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${needed[@]}"
fi

build=build/gtk
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_REQUIRE_GTK=ON
cmake --build "$build" -j2 --target orvanta-provision orvanta-adapter-sim
ORVANTA_GTK_E2E_REQUIRED=1 ctest --test-dir "$build" -R '^e2e_gtk_dialog$' \
  --output-on-failure --no-tests=error
