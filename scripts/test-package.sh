#!/bin/bash
# The Debian package as a user meets it. As root, on a machine without k47ptz installed:
#
#   scripts/test-package.sh build/package/dist/k47ptz_*.deb
#
# Installs the package, checks its layout (account, libraries, RUNPATH, conffile, man pages,
# registration), checks that the unit's start check refuses the shipped file (no camera) with a
# clear line, runs the installed host as the k47ptz user on a simulated Pelco-D line, steers a
# camera with the installed ptzctl (remote, then --local as the server's user), builds the example
# consumer against the installed package with find_package and with pkg-config and runs both,
# then purges the package and checks that nothing of it is left.
set -euo pipefail
DEB=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "test-package: run as root" >&2; exit 2; }
if dpkg-query -W k47ptz >/dev/null 2>&1 && [ "$(dpkg-query -W -f='${Status}' k47ptz)" != "deinstall ok config-files" ]; then
    echo "test-package: k47ptz is installed already; purge it first" >&2
    exit 2
fi

WORK=$(mktemp -d /tmp/k47-package.XXXXXX)
PIDS=()
INSTALLED=0
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    # A failed run leaves the machine as it found it.
    if [ "$INSTALLED" = 1 ]; then apt-get purge -y -qq k47ptz > /dev/null 2>&1 || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "test-package: FAILED: $*" >&2
    for log in "$WORK"/*.log; do [ -f "$log" ] && { echo "--- $log" >&2; tail -5 "$log" | cut -c1-300 >&2; }; done
    exit 1
}
pass() { echo "test-package: ok: $*"; }
# As the server's account. `spawn_as_server ... &` execs in its subshell (as do setpriv and env),
# so that $! is the program itself and a signal to it reaches the program.
as_server() {
    setpriv --reuid=k47ptz --regid=k47ptz --init-groups env K47_RUNTIME_DIR=/run/k47ptz "$@"
}
spawn_as_server() {
    exec setpriv --reuid=k47ptz --regid=k47ptz --init-groups env K47_RUNTIME_DIR=/run/k47ptz "$@"
}
# Waits up to $2 seconds for a line matching $1 in file $3.
wait_for() {
    local i
    for i in $(seq 1 $(($2 * 10))); do
        grep -q -- "$1" "$3" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

echo "test-package: installing $DEB"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$DEB" > "$WORK/install.log" 2>&1 ||
    fail "apt-get install"
INSTALLED=1
LIBDIR=$(dirname "$(dpkg -L k47ptz | grep '/libK47PTZ\.so\.1$')")

# The server's user works in this folder too.
chown k47ptz "$WORK"
chmod 0755 "$WORK"

# --- Layout -------------------------------------------------------------------------------------
id k47ptz > /dev/null || fail "no k47ptz user"
id -nG k47ptz | tr ' ' '\n' | grep -qx dialout || fail "k47ptz is not in dialout"
for tool in k47ptz-host ptzctl ptzsim k47regsvr; do
    [ -x "/usr/bin/$tool" ] || fail "/usr/bin/$tool missing"
    /usr/bin/$tool --version | grep -q "^$tool 1\." || fail "$tool --version"
    ! ldd "/usr/bin/$tool" | grep -q "not found" || fail "$tool: unresolved libraries"
    readelf -d "/usr/bin/$tool" | grep -q "RUNPATH.*\[\$ORIGIN/\.\./lib/" || fail "$tool: RUNPATH"
    [ -f "/usr/share/man/man1/$tool.1" ] || [ -f "/usr/share/man/man1/$tool.1.gz" ] || fail "man page of $tool"
done
for lib in K47PTZ K47Global k47platform; do
    readelf -d "$LIBDIR/lib$lib.so.1" | grep -q "SONAME.*\[lib$lib\.so\.1\]" || fail "SONAME of lib$lib"
done
dpkg-query -W -f='${Conffiles}\n' k47ptz | grep -q "/etc/k47ptz/installation.xml" ||
    fail "installation.xml is not a conffile"
[ "$(stat -c %G:%a /etc/k47ptz/installation.xml)" = "k47ptz:640" ] || fail "installation.xml permissions"
[ -d /run/k47ptz ] && [ "$(stat -c %U:%a /run/k47ptz)" = "k47ptz:700" ] || fail "/run/k47ptz"
python3 - <<'PY' || fail "module not registered for the machine"
import sqlite3, sys
db = sqlite3.connect("file:/var/lib/k47/registry/machine.db?mode=ro", uri=True)
names = {r[0].upper() for r in db.execute("SELECT name FROM key")}
sys.exit(0 if {"K47PTZ.K47PELCOD", "{CBBA05DC-7DFA-478C-B569-25ADF5B824B3}"} <= names else 1)
PY
pass "layout, account, registration"

# --- The unit's start check refuses the shipped file, saying why --------------------------------
UNIT=/lib/systemd/system/k47ptz-host.service
[ -f "$UNIT" ] || UNIT=/usr/lib/systemd/system/k47ptz-host.service
PRE=$(sed -n 's/^ExecStartPre=//p' "$UNIT")
[ -n "$PRE" ] || fail "no ExecStartPre in the unit"
if as_server $PRE > "$WORK/check.log" 2>&1; then fail "the start check accepted a file with no camera"; fi
grep -q "installation.xml.*no camera" "$WORK/check.log" || fail "the start check does not say why"
pass "start check refuses the shipped file: $(grep -m1 'no camera' "$WORK/check.log")"
# A file that cannot be read at all ends the host with the status the unit does not restart on.
printf '<Installation><Cameras>\n' > "$WORK/broken.xml"
chmod 0644 "$WORK/broken.xml"
set +e
as_server /usr/bin/k47ptz-host --config "$WORK/broken.xml" > "$WORK/broken.log" 2>&1
status=$?
set -e
grep -q "^RestartPreventExitStatus=$status\$" "$UNIT" ||
    fail "a broken file ends the host with $status, which the unit restarts on"
grep -q "broken.xml" "$WORK/broken.log" || fail "the message on a broken file does not name it"
pass "a broken file: exit $status (no restart), $(head -1 "$WORK/broken.log")"

# --- The installed host, as the k47ptz user, on a simulated line ---------------------------------
spawn_as_server /usr/bin/ptzsim --protocol pelco-d --json --state-interval 0 --link "$WORK/line.tty" \
    > "$WORK/ptzsim.log" 2> "$WORK/ptzsim.err" &
PIDS+=($!)
wait_for '"event"' 5 "$WORK/ptzsim.log" || wait_for 'ptzsim: line' 5 "$WORK/ptzsim.log" || fail "ptzsim did not start"
cat > "$WORK/installation.xml" <<XML
<Installation>
  <ControlService Listen="127.0.0.1" Port="0"/>
  <PortService First="47600" Last="47619"/>
  <PTZProtocols>
    <Protocol Name="Line" ProgID="K47PTZ.K47PelcoD" COMPort="$WORK/line.tty" BaudRate="9600"/>
    <Protocol Name="Gone" ProgID="K47PTZ.K47PelcoD" COMPort="/dev/ttyK47gone" BaudRate="9600"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Protocol="Line" Address="1"/>
    <Camera Name="Dock" Protocol="Gone" Address="2"/>
  </Cameras>
</Installation>
XML
chmod 0644 "$WORK/installation.xml"
# One line is missing: a problem for --check, not for the unit's check, and the host runs degraded.
if as_server /usr/bin/k47ptz-host --config "$WORK/installation.xml" --check > "$WORK/check2.log" 2>&1; then
    fail "--check passed a line that cannot be opened"
fi
grep -q "/dev/ttyK47gone does not exist" "$WORK/check2.log" || fail "--check does not name the missing device"
as_server /usr/bin/k47ptz-host --config "$WORK/installation.xml" --check --allow-degraded \
    > "$WORK/check3.log" 2>&1 || fail "--check --allow-degraded refused a missing line"
spawn_as_server /usr/bin/k47ptz-host --config "$WORK/installation.xml" > "$WORK/host.log" 2>&1 &
PIDS+=($!)
wait_for "k47ptz-host: ready" 20 "$WORK/host.log" || fail "the host did not become ready"
URL=$(sed -n 's|.*control service at \(http://[^/]*\)/.*|\1|p' "$WORK/host.log" | head -1)
[ -n "$URL" ] || fail "no control service address"
grep -q 'degraded: line "Gone" (/dev/ttyK47gone) is down' "$WORK/host.log" || fail "the summary does not say degraded"
owner=$(ps -o user= -p "${PIDS[1]}" | tr -d " ")
[ "$owner" = k47ptz ] || fail "the host runs as \"$owner\", not k47ptz"
pass "host ready as k47ptz at $URL"

count() { grep -c "\"kind\":\"$1\"" "$WORK/ptzsim.log" || true; }
stops0=$(count stop)
/usr/bin/ptzctl --server "$URL" --camera Gate move 60 0 --for 1 > "$WORK/ptzctl.log" 2>&1 ||
    fail "ptzctl move (remote)"
sleep 0.5
[ "$(count move)" -ge 1 ] || fail "no move frame on the line"
[ "$(count stop)" -gt "$stops0" ] || fail "no stop frame after the move"
pass "remote ptzctl: $(count move) move frame(s), then a stop"

/usr/bin/ptzctl --server "$URL" list > "$WORK/list.log" 2>&1 || fail "ptzctl list"
grep -q "^Dock " "$WORK/list.log" && grep -q "^Gate " "$WORK/list.log" || fail "ptzctl list lacks a camera"
/usr/bin/ptzctl --server "$URL" --camera Dock status > "$WORK/status.log" 2>&1 || fail "ptzctl status"
grep -q "line is down" "$WORK/status.log" || fail "ptzctl status does not say the line is down"
pass "ptzctl list and status: Dock's line is down"

as_server /usr/bin/ptzctl --local --camera Gate preset go 3 > "$WORK/local.log" 2>&1 ||
    fail "ptzctl --local as k47ptz"
wait_for '"kind":"preset-go"' 3 "$WORK/ptzsim.log" || fail "no preset frame from the local client"
pass "local ptzctl as k47ptz: preset frame on the line"

# --- A consumer built against the installed package ----------------------------------------------
cp -r /usr/share/doc/k47ptz/examples/consumer "$WORK/consumer"
(cd "$WORK/consumer" && cmake -S . -B build -G Ninja > "$WORK/consumer.log" 2>&1 &&
    cmake --build build >> "$WORK/consumer.log" 2>&1) || fail "consumer: find_package build"
(cd "$WORK/consumer" && c++ -std=c++20 main.cpp $(pkg-config --cflags --libs k47ptz) \
    -o nudge-pc >> "$WORK/consumer.log" 2>&1) || fail "consumer: pkg-config build"
moves0=$(count move)
"$WORK/consumer/build/k47ptz-nudge" "$URL" Gate >> "$WORK/consumer.log" 2>&1 || fail "consumer (CMake) run"
"$WORK/consumer/nudge-pc" "$URL" Gate >> "$WORK/consumer.log" 2>&1 || fail "consumer (pkg-config) run"
sleep 0.5
[ "$(count move)" -ge $((moves0 + 2)) ] || fail "the consumers' moves are not on the line"
pass "consumer built with find_package and with pkg-config, both steered the camera"

kill -TERM "${PIDS[1]}"
wait "${PIDS[1]}" || fail "the host did not exit 0 on SIGTERM"
kill -TERM "${PIDS[0]}"
wait "${PIDS[0]}" || true
PIDS=()

# --- Purge leaves nothing ------------------------------------------------------------------------
dpkg -L k47ptz | while read -r f; do if [ -f "$f" ]; then echo "$f"; fi; done > "$WORK/files"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq k47ptz > "$WORK/purge.log" 2>&1 || fail "purge"
INSTALLED=0
left=$(while read -r f; do if [ -e "$f" ]; then echo "$f"; fi; done < "$WORK/files")
[ -z "$left" ] || fail "left after purge: $left"
[ ! -e /etc/k47ptz ] || fail "/etc/k47ptz left after purge"
[ ! -e /run/k47ptz ] || fail "/run/k47ptz left after purge"
[ ! -e /var/lib/k47ptz ] || fail "/var/lib/k47ptz left after purge"
python3 - <<'PY' || fail "registry entries left after purge"
import os, sqlite3, sys
path = "/var/lib/k47/registry/machine.db"
if not os.path.exists(path):
    sys.exit(0)
db = sqlite3.connect("file:" + path + "?mode=ro", uri=True)
# The module's ProgIDs and the class of its Pelco-D driver.
left = [r[0] for r in db.execute("SELECT name FROM key")
        if "K47PTZ" in r[0].upper() or r[0].upper() == "{CBBA05DC-7DFA-478C-B569-25ADF5B824B3}"]
print("\n".join(left))
sys.exit(1 if left else 0)
PY
pass "purged: no file, conffile, runtime folder or registry entry left"
