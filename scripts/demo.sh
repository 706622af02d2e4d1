#!/bin/bash
# The K47PTZ demo: simulated camera lines for the three protocols, the installation server on
# examples/demo.xml, and a scripted session with ptzctl that shows the cameras moving, stopping on
# the dead-man time-out, receiving the repeated stops of an ended motion, going to presets and
# driving their menus.
#
#   scripts/demo.sh                 run the scripted session, then stop everything (exit 0 on success)
#   scripts/demo.sh --interactive   start the simulators and the server and leave them running
#   scripts/demo.sh --stop          stop what --interactive left running
#
# BUILD_DIR (default build/default) names the build folder; everything the demo writes goes to
# $BUILD_DIR/demo (registry, simulator lines and logs, server log).
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build/default}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
BIN=$BUILD/bin
WORK=$BUILD/demo
MODE=${1:-run}

bold() { if [ -t 1 ]; then printf '\033[1m%s\033[0m\n' "$*"; else printf '%s\n' "$*"; fi; }
fail() { echo "demo: $*" >&2; exit 1; }

stop_all() {
    [ -f "$WORK/pids" ] || return 0
    # The server first (it ends every motion and closes the lines), then the simulators.
    local pid
    for pid in $(cat "$WORK/pids"); do kill -TERM "$pid" 2>/dev/null; done
    for _ in $(seq 1 100); do
        local alive=0
        for pid in $(cat "$WORK/pids"); do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for pid in $(cat "$WORK/pids"); do kill -KILL "$pid" 2>/dev/null; done
    rm -f "$WORK/pids"
}

if [ "$MODE" = "--stop" ]; then
    stop_all
    echo "demo: stopped"
    exit 0
fi

for tool in k47regsvr ptzsim k47ptz-host ptzctl; do
    [ -x "$BIN/$tool" ] || fail "$BIN/$tool is missing: run 'make demo-build' (or 'make build') first"
done
[ -f "$BUILD/lib/libK47PTZ.so" ] || fail "$BUILD/lib/libK47PTZ.so is missing: run 'make demo-build' (or 'make build') first"

stop_all
rm -rf "$WORK"
mkdir -p "$WORK/registry" "$WORK/run"
export K47_REGISTRY_DIR=$WORK/registry
export K47_RUNTIME_DIR=$WORK/run

if [ "$MODE" != "--interactive" ]; then
    trap 'stop_all' EXIT
    trap 'exit 130' INT TERM
fi

bold "== Registering the K47PTZ module in a private registry ($WORK/registry)"
"$BIN/k47regsvr" "$BUILD/lib/libK47PTZ.so" || fail "registration failed"

bold "== Starting one simulated camera line per protocol"
# Each line carries bytes at the speed the server sets on its port (BaudRate in demo.xml), as a
# real line does; a 7-byte Pelco-D frame takes 7.3 ms at 9600 Bd.
for protocol in pelco-d panasonic bosch; do
    "$BIN/ptzsim" --protocol "$protocol" --link "$WORK/$protocol.tty" --state-interval 1 \
        >"$WORK/$protocol.log" 2>&1 &
    echo $! >>"$WORK/pids"
done
for protocol in pelco-d panasonic bosch; do
    for _ in $(seq 1 50); do [ -e "$WORK/$protocol.tty" ] && break; sleep 0.1; done
    [ -e "$WORK/$protocol.tty" ] || fail "ptzsim for $protocol did not start (see $WORK/$protocol.log)"
    echo "   $protocol line: $WORK/$protocol.tty -> $(readlink "$WORK/$protocol.tty")"
done

bold "== Starting k47ptz-host on examples/demo.xml"
cp "$ROOT/examples/demo.xml" "$WORK/demo.xml"
(cd "$WORK" && exec "$BIN/k47ptz-host" --config demo.xml >host.out 2>host.log) &
echo $! >>"$WORK/pids"
for _ in $(seq 1 100); do grep -q "ready" "$WORK/host.out" 2>/dev/null && break; sleep 0.1; done
grep -q "ready" "$WORK/host.out" || { cat "$WORK/host.log" >&2; fail "the server did not start"; }
URL=$(sed -n 's|.*control service at \(http://[^/]*\)/.*|\1|p' "$WORK/host.out" | head -1)
sed 's/^/   /' "$WORK/host.log"
echo "   control service: $URL"

if [ "$MODE" = "--interactive" ]; then
    bold "== Running. Steer a camera with the keyboard (arrows, +/-, 1-9 presets, space, q):"
    echo "   $BIN/ptzctl --server $URL --camera Gate interactive"
    echo "   cameras: Gate and Yard (Pelco-D, one line), Lobby (Panasonic), Dock (Bosch)"
    echo "   watch the simulated cameras: tail -f $WORK/pelco-d.log $WORK/panasonic.log $WORK/bosch.log"
    echo "   server log: $WORK/host.log"
    echo "   stop everything: make demo-stop   (or scripts/demo.sh --stop)"
    exit 0
fi

# Each simulator log is shown from where the previous step left it.
declare -A SEEN
show() {
    local protocol=$1 lines
    local log="$WORK/$protocol.log"
    lines=$(wc -l <"$log")
    local from=$(( ${SEEN[$protocol]:-0} + 1 ))
    SEEN[$protocol]=$lines
    [ "$lines" -lt "$from" ] && return 0
    sed -n "${from},${lines}p" "$log" | grep -v '^ptzsim:' | sed "s/^/   [$protocol] /"
}
ctl() {
    echo "\$ ptzctl --camera $*"
    "$BIN/ptzctl" --server "$URL" --camera "$@" || fail "ptzctl failed (exit $?)"
}
for protocol in pelco-d panasonic bosch; do show "$protocol" >/dev/null; done

bold "== What the cameras can do"
ctl Gate query
ctl Lobby query
ctl Dock query
echo "\$ ptzctl --local --camera Yard query   (the local client: through the server's object server on this machine)"
"$BIN/ptzctl" --local --camera Yard query || fail "the local client failed"

bold "== Gate (Pelco-D): pan right for 2 s, then end the motion: watch the 11 stops, 0.4 s apart"
ctl Gate preset set 1
ctl Gate move 60 0 --for 2
sleep 4.6
show pelco-d

bold "== Yard (Pelco-D, same line): tilt up, then the client dies without ending the motion"
echo "\$ ptzctl --camera Yard move 0 50 --for 60 &   (killed after 2 s)"
"$BIN/ptzctl" --server "$URL" --camera Yard move 0 50 --for 60 >/dev/null &
CLIENT=$!
sleep 2
kill -KILL $CLIENT 2>/dev/null
wait $CLIENT 2>/dev/null
echo "   client killed at $(date +%T.%N | cut -c1-12): no datagram comes any more; the camera stops by itself 5 s later"
sleep 6
show pelco-d

bold "== Gate: back to preset 1"
ctl Gate preset go 1
sleep 0.5
show pelco-d

bold "== Gate: the on-screen menu (Pelco-D opens it with preset 95)"
ctl Gate menu open
ctl Gate menu down
ctl Gate menu right
sleep 0.3
show pelco-d

bold "== Lobby (Panasonic): pan left and zoom in for 1.5 s, then its menu"
ctl Lobby move -40 0 30 --for 1.5
# A command or menu command cancels stops still pending, so let the repeated stops go out first.
sleep 4.6
show panasonic
ctl Lobby menu open
ctl Lobby menu down
ctl Lobby menu select
ctl Lobby menu close
sleep 0.3
show panasonic

bold "== Dock (Bosch): tilt down for 1 s, store and recall a preset; it has no menu"
ctl Dock move 0 -70 --for 1
sleep 4.6
ctl Dock preset set 2
ctl Dock move 50 0 --for 1
sleep 4.6
show bosch
ctl Dock preset go 2
sleep 0.3
show bosch

bold "== Stopping the server and the simulators"
stop_all
trap - EXIT
for protocol in pelco-d panasonic bosch; do show "$protocol" | grep -E 'final|exit' ; done
echo "demo: done (logs in $WORK)"
exit 0
