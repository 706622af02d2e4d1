#!/bin/bash
# The host at scale: CAMERAS Pelco-D cameras dealt over LINES simulated lines (one ptzsim each),
# one control service on 127.0.0.1 and a port range. Measures how long the host takes from its
# start until the control service answers, then its RSS, threads, open descriptors (by kind) and
# its CPU while idle for IDLE seconds, and prints one table.
#
#   scripts/bench-scale.sh [CAMERAS=1000] [LINES=32]
#
# BUILD_DIR (default build/default) names the build folder, IDLE (default 10) the seconds of CPU
# measurement. Everything goes to $BUILD_DIR/scale-bench; everything started is stopped on exit.
# Exit status: 0 measured, 1 the host failed (did not answer, died, or ended with an error).
# Loopback only, about 15 s; not part of ctest.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build/default}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
BIN=$BUILD/bin
WORK=$BUILD/scale-bench
CAMERAS=${1:-1000}
LINES=${2:-32}
IDLE=${IDLE:-10}
KIT=$ROOT/scripts/scalekit.py
PIDS=()
HOST=

fail() { echo "bench-scale: $*" >&2; exit 1; }

# shellcheck disable=SC2317  # reached through the EXIT trap
stop_all() {
    # The host first (it stops every camera and closes the lines), then the simulators.
    local pid
    if [ -n "$HOST" ] && kill -0 "$HOST" 2>/dev/null; then
        kill -TERM "$HOST" 2>/dev/null
        for _ in $(seq 1 100); do kill -0 "$HOST" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$HOST" 2>/dev/null
    fi
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
    done
    PIDS=()
}
trap stop_all EXIT
trap 'exit 130' INT TERM

case "$CAMERAS$LINES" in *[!0-9]*) fail "usage: $0 [CAMERAS] [LINES]" ;; esac
for tool in k47regsvr ptzsim k47ptz-host; do
    [ -x "$BIN/$tool" ] || fail "$BIN/$tool is missing: build it first"
done
[ -f "$BUILD/lib/libK47PTZ.so" ] || fail "$BUILD/lib/libK47PTZ.so is missing: build it first"

# The host raises its soft descriptor limit to the hard one by itself; raising it here too shows
# the figure in the table and covers a host started without that code path.
SOFT=$(ulimit -Sn)
HARD=$(ulimit -Hn)
if [ "$SOFT" != unlimited ] && { [ "$HARD" = unlimited ] || [ "$SOFT" -lt "$HARD" ]; }; then
    ulimit -Sn "$HARD" 2>/dev/null && echo "bench-scale: soft descriptor limit raised from $SOFT to $(ulimit -Sn)"
fi

rm -rf "$WORK"
mkdir -p "$WORK/registry" "$WORK/run"
export K47_REGISTRY_DIR=$WORK/registry
export K47_RUNTIME_DIR=$WORK/run
"$BIN/k47regsvr" "$BUILD/lib/libK47PTZ.so" >"$WORK/regsvr.log" 2>&1 || fail "registration failed"

for line in $(seq 0 $((LINES - 1))); do
    "$BIN/ptzsim" --protocol pelco-d --link "$WORK/line$line.tty" --state-interval 0 \
        >"$WORK/line$line.log" 2>&1 &
    PIDS+=($!)
done
for line in $(seq 0 $((LINES - 1))); do
    for _ in $(seq 1 100); do [ -e "$WORK/line$line.tty" ] && break; sleep 0.05; done
    [ -e "$WORK/line$line.tty" ] || fail "ptzsim for line $line did not start (see $WORK/line$line.log)"
done

# Ports are only taken when a remote session starts; the range just has to hold every camera.
python3 "$KIT" config --cameras "$CAMERAS" --lines "$LINES" --link-dir "$WORK" \
    --ports "40000-$((40000 + CAMERAS - 1))" >"$WORK/installation.xml" || fail "no installation file"

# The poller runs before the host starts, so its own start-up does not count.
python3 "$KIT" wait-ready --out "$WORK/host.out" --since-file "$WORK/start" --camera Cam0000 \
    --deadline 30 >"$WORK/ready" &
POLLER=$!
PIDS+=("$POLLER")
for _ in $(seq 1 200); do [ -e "$WORK/start.up" ] && break; sleep 0.01; done
[ -e "$WORK/start.up" ] || fail "the poller did not start"
date +%s.%N >"$WORK/start.tmp" && mv "$WORK/start.tmp" "$WORK/start"
"$BIN/k47ptz-host" --config "$WORK/installation.xml" >"$WORK/host.out" 2>"$WORK/host.log" &
HOST=$!
host_failed() {
    # The host's summary lines, not one line per camera it could not set up.
    grep -v -e '<Camera Name=' -e ' HRESULT 0x' "$WORK/host.log" | sed 's/^/   /' >&2
    echo "   (and $(grep -c -e '<Camera Name=' -e ' HRESULT 0x' "$WORK/host.log") camera and" \
        "HRESULT line(s) in $WORK/host.log)" >&2
    fail "$1"
}
# A host that ends before it answers ends the wait too.
while kill -0 "$POLLER" 2>/dev/null && kill -0 "$HOST" 2>/dev/null; do sleep 0.05; done
if ! kill -0 "$HOST" 2>/dev/null; then
    wait "$HOST"
    STATUS=$?
    HOST=
    host_failed "the host ended with status $STATUS before its control service answered"
fi
wait "$POLLER" || host_failed "the control service did not answer"
read -r READY_S URL PRINTED_S <"$WORK/ready"

echo "bench-scale: $CAMERAS cameras on $LINES lines, control service $URL (its address printed after $PRINTED_S s)"
echo "bench-scale: descriptor limit soft $(ulimit -Sn), hard $(ulimit -Hn)"
grep -i "descriptor limit\|warning" "$WORK/host.log" | sed 's/^/host says: /'
# In the background, so that an interrupt stops everything at once rather than after it.
python3 "$KIT" sample --pid "$HOST" --idle "$IDLE" --cameras "$CAMERAS" --ready "$READY_S" &
SAMPLER=$!
PIDS+=("$SAMPLER")
wait "$SAMPLER" || fail "sampling the host failed"
kill -0 "$HOST" 2>/dev/null || fail "the host died while idle"

kill -TERM "$HOST"
wait "$HOST"
STATUS=$?
HOST=
[ "$STATUS" = 0 ] || host_failed "the host ended with status $STATUS"
grep -q "$LINES protocol(s) configured, $CAMERAS camera(s) bound, 0 problem(s)" "$WORK/host.log" ||
    host_failed "the host reported problems"
echo "bench-scale: the host shut down cleanly (logs in $WORK)"
exit 0
