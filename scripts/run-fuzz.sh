#!/bin/sh
# Runs every fuzz target of a fuzz build, starting from its saved corpus.
#
#   scripts/run-fuzz.sh [BUILD] [SECONDS]
#       each target for SECONDS (60), one after the other; new inputs go into fuzz/corpus/<name>.
#   scripts/run-fuzz.sh --runs N [--max-time S] [--jobs 1|2] [--only NAME...] [BUILD]
#       each target until it has executed N inputs (-runs=N) or run for S seconds (0: no
#       limit), one or two at a time; --only runs just the targets named (without "fuzz_").
#       The saved corpus is only read: new inputs go to BUILD/fuzz-work/corpus/<name>, the full
#       logs to BUILD/fuzz-work/logs/<name>.log. A crash, leak, time-out (25 s an input) or
#       memory overrun ends that target's run; the next target starts.
#
# After each target: its executions, coverage (cov: edges, ft: features), executions per second
# and findings (files written to fuzz/artifacts/<name>-*: crash-, leak-, timeout-, oom-); a table
# of all of them at the end. The exit status is 1 when any target had a finding.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=
MAX_TIME=0
JOBS=1
ONLY=
while [ $# -gt 0 ]; do
  case $1 in
    --runs) RUNS=$2; shift 2 ;;
    --max-time) MAX_TIME=$2; shift 2 ;;
    --jobs) JOBS=$2; shift 2 ;;
    --only) ONLY="$ONLY $2"; shift 2 ;;
    *) break ;;
  esac
done
BUILD=${1:-build/fuzz}
SECONDS_EACH=${2:-60}
ARTIFACTS=$ROOT/fuzz/artifacts
WORK=$BUILD/fuzz-work
mkdir -p "$ARTIFACTS" "$WORK/logs"
STAMP=$WORK/started
: >"$STAMP"
SUMMARY=$WORK/summary
: >"$SUMMARY"

# One target: runs it, then appends its line to the summary and prints it.
run_one() {
  f=$1
  name=$(basename "$f" | sed 's/^fuzz_//')
  log=$WORK/logs/$name.log
  status=0
  if [ -n "$RUNS" ]; then
    mkdir -p "$WORK/corpus/$name"
    saved=$ROOT/fuzz/corpus/$name
    [ -d "$saved" ] || saved=
    "$f" -runs="$RUNS" -max_total_time="$MAX_TIME" -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$ARTIFACTS/$name-" \
      "$WORK/corpus/$name" ${saved:+"$saved"} >"$log" 2>&1 || status=$?
  else
    mkdir -p "$ROOT/fuzz/corpus/$name"
    "$f" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
      -artifact_prefix="$ARTIFACTS/$name-" "$ROOT/fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
  findings=$(find "$ARTIFACTS" -name "$name-*" -newer "$STAMP" | sort | tr '\n' ' ')
  [ -n "$findings" ] || [ "$status" -eq 0 ] || findings="(exit status $status, see $log)"
  line=$(printf '%-20s %12s %6s %7s %8s  %s' "$name" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "${rate:-?}" "${findings:-none}")
  echo "$line" >>"$SUMMARY"
  echo "== $line"
}

selected() {
  [ -z "$ONLY" ] && return 0
  for n in $ONLY; do [ "fuzz_$n" = "$(basename "$1")" ] && return 0; done
  return 1
}

echo "== target                   executions    cov      ft   exec/s  findings"
running=0
for f in "$BUILD"/bin/fuzz_*; do
  [ -x "$f" ] || continue
  selected "$f" || continue
  if [ "$JOBS" -gt 1 ]; then
    run_one "$f" &
    running=$((running + 1))
    if [ "$running" -ge "$JOBS" ]; then
      wait
      running=0
    fi
  else
    run_one "$f"
  fi
done
wait

echo
echo "target                 executions    cov      ft   exec/s  findings"
sort "$SUMMARY"
! grep -qv ' none$' "$SUMMARY"
