#!/usr/bin/env bash
# Retakes the wizard's screenshots in docs/screenshots/ under a real X server
# (Xvfb): a sample camera card with holiday photos is made by
# scripts/make-sample-card.py in a clean folder of its own
# (/tmp/quellmoor-sample/, so no build path shows anywhere), and
# gui_screenshots walks the wizard over it at the window's first size
# (1100 x 720), at 1280 x 800, and at 1280 x 800 in a dark palette.
#
#   scripts/screenshots.sh [BUILD_DIR]      # default build/default
#
# Needs a built tree (cmake --build --preset default --target gui_screenshots),
# xvfb and xauth (scripts/install-deps.sh), and the card's tools
# (scripts/install-deps.sh --fixtures). The card is kept in
# /tmp/quellmoor-sample/ between runs (delete it to make a new one).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/default}" && pwd)"
out="$root/docs/screenshots"
sample=/tmp/quellmoor-sample
tool="$build/tests/gui_screenshots"
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing: run scripts/install-deps.sh" >&2; exit 1; }
[[ -x "$tool" ]] || { echo "$tool is missing: cmake --build --preset default --target gui_screenshots" >&2; exit 1; }

mkdir -p "$sample"
card="$sample/Holiday card.img"
if [[ ! -f "$card" ]]; then
  "$root/scripts/make-sample-card.py" "$card"
fi
# The program's own folders (the proposed recovery folder lies in this home), new for each run.
home="$sample/home"
rm -rf "$home"
mkdir -p "$home"
trap 'rm -rf "$home"' EXIT
mkdir -p "$out"
rm -f "$out"/*.png
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" LANG=en_GB.UTF-8 LC_ALL=en_GB.UTF-8
export QUELLMOOR_DISKS="$card" QT_QPA_PLATFORM=xcb
run() { xvfb-run -a -s "-screen 0 1600x1000x24 -dpi 96" "$tool" "$card" "$out" "$@"; }
run
run --size 1280x800
run --dark --size 1280x800
# Kept: every step at the first size; the results at 1280 x 800, light and dark.
rm -f "$out"/{mode,disk,recovered}-1280x800*.png "$out"/results-list-1280x800-dark.png
ls -l "$out"
