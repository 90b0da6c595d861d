#!/usr/bin/env bash
# Runs quellmoor on the built-in sample: a FAT32 image with deleted files.
set -euo pipefail
cli=${1:-build/default/quellmoor}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gzip -dc "$here/tests/fixtures/fat32_512.img.gz" > "$work/sample.img"
echo "== quellmoor probe sample.img"
"$cli" probe "$work/sample.img"
if "$cli" recover --help >/dev/null 2>&1; then
  echo
  echo "== quellmoor recover --mode fast --out recovered sample.img"
  XDG_DATA_HOME="$work/data" "$cli" recover --mode fast --out "$work/recovered" "$work/sample.img" || true
  echo
  echo "== what came back"
  (cd "$work/recovered" && find . -type f -exec sha256sum {} + | sort -k2)
fi
