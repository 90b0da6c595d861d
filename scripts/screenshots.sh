#!/usr/bin/env bash
# Takes a screenshot of each page of the wizard under a real X server (Xvfb)
# into docs/screenshots/, by running the wizard's test on a fixture image.
# Needs xvfb and xauth (scripts/install-deps.sh installs them) and a built
# tree (cmake --preset default && cmake --build --preset default --target gui_tests).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
out="$root/docs/screenshots"
mkdir -p "$out"
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing: run scripts/install-deps.sh" >&2; exit 1; }
cd "$build/tests"
QUELLMOOR_DISKS= QT_QPA_PLATFORM=xcb QUELLMOOR_SCREENSHOT_DIR="$out" \
  xvfb-run -a -s "-screen 0 1024x768x24" "$build/tests/gui_tests" \
  --gtest_filter='Wizard.RecoversTheDeletedFilesOfAnImageByteForByte'
ls -l "$out"
