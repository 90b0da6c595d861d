#!/usr/bin/env bash
# Deep recovery of the /usr/share image that deep_threads_bench makes (run it first), scan
# included, to a folder on the disk that holds $QM_BENCH_DIR, against PhotoRec (package testdisk,
# the measuring stick; only its binary is run) recovering the same image to the same disk. Prints
# each one's seconds and how many files and bytes it wrote. The outputs are removed afterwards.
#   bench/deep_recover_vs_photorec.sh [BUILD_DIR]
set -euo pipefail
build="$(cd "${1:-build/default}" && pwd)"
dir="${QM_BENCH_DIR:-/tmp/quellmoor_threads_bench}"
img="$dir/share_${QM_BENCH_MIB:-2048}m.img"
[[ -f "$img" ]] || { echo "no $img: run deep_threads_bench first"; exit 0; }
command -v photorec >/dev/null || { echo "photorec is not installed: no comparison (apt-get install testdisk)"; exit 0; }
work="$(mktemp -d "$dir/recover.XXXXXX")"
trap 'rm -rf "$work"' EXIT
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}
tally() { echo "$(find "$1" -type f | wc -l) files, $(du -sm "$1" | cut -f1) MiB"; }
# The image is read first: a machine that gives memory back to its host may have dropped it from the
# cache since it was made. Run again a minute or more after a run: without a journal, ext4 skips
# inodes freed moments ago (the last run's clean-up), which slows both tools.
cat "$img" >/dev/null
sync
ours=$(XDG_DATA_HOME="$work/data" seconds "$build/quellmoor" recover --mode deep --resume no --out "$work/ours" "$img")
echo "quellmoor: ${ours} s, $(tally "$work/ours")"
cat "$img" >/dev/null
sync
mkdir -p "$work/photorec"
theirs=$(cd "$work" && seconds photorec /log /d "$work/photorec/recup" /cmd "$img" search)
echo "PhotoRec: ${theirs} s, $(tally "$work/photorec")"
awk -v a="$ours" -v b="$theirs" 'BEGIN { printf "ratio: quellmoor takes %.2f of PhotoRec'"'"'s time\n", a / b }'
