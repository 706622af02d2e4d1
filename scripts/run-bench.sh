#!/bin/sh
# Runs every benchmark binary of a build folder, one after another.
set -eu
BUILD=${1:-build/default}
found=0
for b in "$BUILD"/bin/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[ "$found" = 1 ] || echo "no benchmarks built in $BUILD"
