#!/bin/sh
# Runs every fuzz target of a fuzz build for a while, starting from (and adding to) its corpus.
set -eu
BUILD=${1:-build/fuzz}
SECONDS_EACH=${2:-60}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$ROOT/fuzz/artifacts"
for f in "$BUILD"/bin/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f" | sed 's/^fuzz_//')
  mkdir -p "$ROOT/fuzz/corpus/$name"
  echo "== $name for ${SECONDS_EACH}s"
  "$f" -max_total_time="$SECONDS_EACH" -artifact_prefix="$ROOT/fuzz/artifacts/$name-" "$ROOT/fuzz/corpus/$name"
done
