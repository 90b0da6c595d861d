#!/usr/bin/env bash
# Runs every benchmark of a build folder and prints their figures.
set -euo pipefail
build=${1:-build/default}
for bench in "$build"/bench/*_bench; do
  [[ -x "$bench" ]] || continue
  echo "== $(basename "$bench")"
  "$bench"
done
