"""Helpers of the scale bench (bench-scale.sh) and the load test (load-test.py).

Python standard library only. The pieces that decide figures (the installation file, the motion
datagram's bytes, the SOAP exchange, /proc readings, percentiles, the simulators' frame logs) are
plain functions, tested by scripts/test_scalekit.py; the command line at the bottom serves the
bash bench.
"""

import argparse
import http.client
import json
import os
import re
import struct
import sys
import time
import urllib.parse
from collections import Counter
from xml.sax.saxutils import escape

SERVICE_NAMESPACE = "http://k47ptz.org/VLTControl/VLT"
SERVICE_PATH = "/VLTControl/VLTControl.asmx"
PTZCMD_AUTOFOCUS = 43  # moves nothing, so it leaves a running motion alone
PELCO_FRAME_BYTES = 7
MAX_PELCO_ADDRESS = 255

# --- The installation file ---------------------------------------------------------------------


def line_of(camera, lines):
    """Line index and bus address of camera number `camera` (0-based), cameras dealt in turn."""
    return camera % lines, camera // lines + 1


def camera_name(camera):
    return "Cam%04d" % camera


def installation_xml(cameras, lines, link_dir, port_first, port_last, baud=9600):
    """An installation of `cameras` Pelco-D cameras dealt over `lines` simulated lines, whose
    links are link_dir/lineN.tty; one control service on 127.0.0.1 (any free port)."""
    if cameras < 1 or lines < 1:
        raise ValueError("cameras and lines must be at least 1")
    if lines > cameras:
        raise ValueError("more lines (%d) than cameras (%d)" % (lines, cameras))
    if -(-cameras // lines) > MAX_PELCO_ADDRESS:
        raise ValueError(
            "%d cameras on %d lines: more than %d on one line" % (cameras, lines, MAX_PELCO_ADDRESS)
        )
    if port_last - port_first + 1 < cameras:
        raise ValueError("the port range holds fewer ports than cameras")
    out = ['<?xml version="1.0" encoding="utf-8"?>', "<Installation>"]
    out.append('  <ControlService Listen="127.0.0.1" Port="0" ReportAddress="0"/>')
    out.append('  <PortService First="%d" Last="%d"/>' % (port_first, port_last))
    out.append('  <PTZProtocols Default="Line0">')
    for line in range(lines):
        link = escape(os.path.join(link_dir, "line%d.tty" % line), {'"': "&quot;"})
        out.append(
            '    <Protocol Name="Line%d" ProgID="K47PTZ.K47PelcoD" COMPort="%s" BaudRate="%d"/>'
            % (line, link, baud)
        )
    out.append("  </PTZProtocols>")
    out.append("  <Cameras>")
    for camera in range(cameras):
        line, address = line_of(camera, lines)
        out.append(
            '    <Camera Name="%s" Protocol="Line%d" Address="%d"/>'
            % (camera_name(camera), line, address)
        )
    out.append("  </Cameras>")
    out.append("</Installation>")
    return "\n".join(out) + "\n"


def frame_capacity(seconds, baud, frame_bytes=PELCO_FRAME_BYTES):
    """Frames a line carries in `seconds` at `baud`, 8N1 (10 bits a byte)."""
    return seconds * baud / (10.0 * frame_bytes)


# --- The motion datagram -----------------------------------------------------------------------

END_OF_MOTION = 0x01
DATAGRAM_BYTES = 14
_DATAGRAM = struct.Struct("<HhhhhhBB")


def encode_datagram(sequence, pan=0, tilt=0, zoom=0, focus=0, iris=0, flags=0):
    """The 14-byte datagram: sequence (u16), pan, tilt, zoom, focus, iris (s16), flags, reserved;
    little-endian. Sequences wrap from 65535 to 0."""
    return _DATAGRAM.pack(sequence & 0xFFFF, pan, tilt, zoom, focus, iris, flags & 0xFF, 0)


# --- The control service -----------------------------------------------------------------------


def soap_body(operation, params):
    children = "".join("<%s>%s</%s>" % (k, escape(str(v)), k) for k, v in params)
    return (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/">'
        '<soap:Body><%s xmlns="%s">%s</%s></soap:Body></soap:Envelope>'
        % (operation, SERVICE_NAMESPACE, children, operation)
    )


def soap_call(url, operation, params, timeout=5.0):
    """POSTs one SOAP request; returns (HTTP status, body text). Raises OSError when the service
    cannot be reached."""
    parts = urllib.parse.urlsplit(url)
    body = soap_body(operation, params).encode("utf-8")
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=timeout)
    try:
        connection.request(
            "POST",
            parts.path or SERVICE_PATH,
            body,
            {
                "Content-Type": "text/xml; charset=utf-8",
                "SOAPAction": '"%s/%s"' % (SERVICE_NAMESPACE, operation),
            },
        )
        response = connection.getresponse()
        return response.status, response.read().decode("utf-8", "replace")
    finally:
        connection.close()


def soap_value(body, name):
    """The text of the first element `name` of an answer, or None."""
    match = re.search(r"<(?:\w+:)?%s\b[^>]*>([^<]*)</" % re.escape(name), body)
    return match.group(1) if match else None


def session_endpoint(status, body):
    """(IPv4 text, port) of a StartRemoteSessionPTZ answer; ValueError for a fault."""
    if status != 200:
        fault = soap_value(body, "faultstring")
        raise ValueError("HTTP %d: %s" % (status, fault or body[:200]))
    address = soap_value(body, "ipv4addr")
    port = soap_value(body, "port")
    if address is None or port is None or not port.isdigit() or not address.isdigit():
        raise ValueError("no ipv4addr and port in the answer: %s" % body[:200])
    value = int(address)
    text = "127.0.0.1" if value == 0 else "%d.%d.%d.%d" % tuple(value >> s & 255 for s in (24, 16, 8, 0))
    if not 0 < int(port) < 65536:
        raise ValueError("port %s out of range" % port)
    return text, int(port)


def service_url(host_output):
    """The control service's URL from the host's standard output, or None before it is printed."""
    match = re.search(r"control service at (http://\S+)", host_output)
    return match.group(1) if match else None


def wait_ready(out_path, since, camera, deadline_s, poll_s=0.005):
    """Seconds from `since` (time.time()) until the service named in out_path answered a
    PtzQueryFunctions for `camera` with 200, and the service's URL; None at the deadline.
    Also sets wait_ready.printed: seconds until the host had printed the URL."""
    url = None
    wait_ready.printed = None
    while time.time() - since < deadline_s:
        if url is None:
            try:
                with open(out_path, encoding="utf-8", errors="replace") as f:
                    url = service_url(f.read())
                if url is not None:
                    wait_ready.printed = time.time() - since
            except FileNotFoundError:
                pass
        if url is not None:
            try:
                status, _ = soap_call(url, "PtzQueryFunctions", [("name", camera)], timeout=1.0)
                if status == 200:
                    return time.time() - since, url
            except OSError:
                pass
        time.sleep(poll_s)
    return None, url


# --- What /proc says about a process -----------------------------------------------------------

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def proc_status(pid):
    """(VmRSS in KiB, Threads) of a process."""
    rss = threads = None
    with open("/proc/%d/status" % pid) as f:
        for text in f:
            if text.startswith("VmRSS:"):
                rss = int(text.split()[1])
            elif text.startswith("Threads:"):
                threads = int(text.split()[1])
    return rss, threads


def stat_ticks(text):
    """utime + stime, in clock ticks, of a /proc/PID/stat line. The command name may hold blanks
    and parentheses, so the fields are counted from the last ')'."""
    fields = text[text.rindex(")") + 2 :].split()
    return int(fields[11]) + int(fields[12])  # fields 14 and 15 of stat(5)


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        return stat_ticks(f.read())


def fd_targets(pid):
    out = []
    base = "/proc/%d/fd" % pid
    for name in os.listdir(base):
        try:
            out.append(os.readlink(os.path.join(base, name)))
        except OSError:
            pass  # closed meanwhile
    return out


def fd_kind(target):
    """'socket', 'pipe', 'anon_inode:[eventfd]', 'pty', 'file' and the like."""
    if target.startswith("socket:"):
        return "socket"
    if target.startswith("pipe:"):
        return "pipe"
    if target.startswith("anon_inode:"):
        return target
    if target.startswith("/dev/pts/") or target == "/dev/ptmx":
        return "pty"
    if target.startswith("/dev/"):
        return "device " + target
    return "file"


def fd_kinds(pid):
    return Counter(fd_kind(t) for t in fd_targets(pid))


class CpuMeter:
    """CPU % of one process between successive readings (100 % is one core busy)."""

    def __init__(self, pid):
        self.pid = pid
        self.ticks = cpu_ticks(pid)
        self.when = time.monotonic()

    def read(self):
        ticks, when = cpu_ticks(self.pid), time.monotonic()
        percent = 100.0 * (ticks - self.ticks) / CLOCK_TICKS / max(when - self.when, 1e-6)
        self.ticks, self.when = ticks, when
        return percent


# --- Figures -----------------------------------------------------------------------------------


def percentile(values, p):
    """Nearest-rank percentile (p in 0..100) of a non-empty list."""
    if not values:
        raise ValueError("no values")
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]


def table(rows, header):
    """Rows of cells as an aligned text table; columns of numbers right-aligned."""
    cells = [[str(c) for c in header]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]

    numeric = [
        bool(rows) and all(isinstance(row[i], (int, float)) for row in rows)
        for i in range(len(header))
    ]

    def fmt(row):
        return "  ".join(
            c.rjust(w) if right else c.ljust(w) for c, w, right in zip(row, widths, numeric)
        ).rstrip()

    lines = [fmt(cells[0]), "  ".join("-" * w for w in widths)]
    lines += [fmt(c) for c in cells[1:]]
    return "\n".join(lines)


# --- A simulator's frame log (ptzsim --json) ---------------------------------------------------


class LineLog:
    """What one simulated line saw, from its JSON lines. Times are on CLOCK_MONOTONIC
    (time.monotonic()), from the start event's "monotonic" plus each event's "elapsed"."""

    def __init__(self):
        self.start = None
        self.frames = []  # (monotonic time, address, kind)
        self.final_moving = {}  # address -> moving at the simulator's exit
        self.exit = None  # the exit event's counters

    def feed(self, text):
        text = text.strip()
        if not text.startswith("{"):
            return  # the "ptzsim: line PATH" line
        event = json.loads(text)
        kind = event.get("event")
        if kind == "start":
            self.start = float(event["monotonic"])
        elif kind == "frame":
            if self.start is None:
                raise ValueError("a frame before the start event")
            self.frames.append(
                (self.start + float(event["elapsed"]), event.get("address"), event.get("kind"))
            )
        elif kind == "final":
            self.final_moving[event.get("address")] = bool(event["state"]["moving"])
        elif kind == "exit":
            self.exit = event

    @classmethod
    def read(cls, path):
        log = cls()
        with open(path, encoding="utf-8", errors="replace") as f:
            for text in f:
                log.feed(text)
        return log

    def count(self, kind, begin=float("-inf"), end=float("inf")):
        return sum(1 for t, _, k in self.frames if k == kind and begin <= t < end)

    def total(self, begin=float("-inf"), end=float("inf")):
        return sum(1 for t, _, _ in self.frames if begin <= t < end)

    def stop_after(self, address, since, until=float("inf")):
        """The first stop frame for `address` at or after `since` (before `until`), and whether
        a move for it followed within the window; (None, False) without one."""
        first = None
        moved_after = False
        for t, a, k in self.frames:
            if a != address or t < since or t >= until:
                continue
            if k == "stop" and first is None:
                first = t
            elif k == "move" and first is not None:
                moved_after = True
        return first, moved_after


# --- Command line for the bash bench -----------------------------------------------------------


def main(argv):
    parser = argparse.ArgumentParser(prog="scalekit.py")
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("config", help="write an installation file to standard output")
    c.add_argument("--cameras", type=int, required=True)
    c.add_argument("--lines", type=int, required=True)
    c.add_argument("--link-dir", required=True)
    c.add_argument("--ports", required=True, help="FIRST-LAST")
    c.add_argument("--baud", type=int, default=9600)
    w = sub.add_parser("wait-ready", help="seconds from SINCE until the service answers")
    w.add_argument("--out", required=True, help="the host's standard output")
    w.add_argument(
        "--since-file",
        required=True,
        help="file that will hold the host's start (seconds since the epoch); this program "
        "creates FILE.up once it runs, so the caller starts the host only then (an interpreter "
        "can take most of a second to start on a loaded machine)",
    )
    w.add_argument("--camera", required=True)
    w.add_argument("--deadline", type=float, default=30.0)
    s = sub.add_parser("sample", help="RSS, threads, descriptors and idle CPU of a process")
    s.add_argument("--pid", type=int, required=True)
    s.add_argument("--idle", type=float, default=10.0, help="seconds of CPU measurement")
    s.add_argument("--cameras", type=int, required=True)
    s.add_argument("--ready", type=float, required=True)
    args = parser.parse_args(argv)

    if args.command == "config":
        first, last = (int(v) for v in args.ports.split("-"))
        sys.stdout.write(
            installation_xml(args.cameras, args.lines, args.link_dir, first, last, args.baud)
        )
        return 0
    if args.command == "wait-ready":
        open(args.since_file + ".up", "w").close()
        waited = time.monotonic()
        while not os.path.exists(args.since_file):
            if time.monotonic() - waited > args.deadline:
                print("the host was never started", file=sys.stderr)
                return 1
            time.sleep(0.001)
        with open(args.since_file) as f:
            since = float(f.read())
        seconds, url = wait_ready(args.out, since, args.camera, args.deadline)
        if seconds is None:
            print("no answer within %.0f s (service %s)" % (args.deadline, url), file=sys.stderr)
            return 1
        print("%.3f %s %.3f" % (seconds, url, wait_ready.printed))
        return 0
    # sample
    rss, threads = proc_status(args.pid)
    kinds = fd_kinds(args.pid)
    fds = sum(kinds.values())
    # One reading a second as well: a burst (the cameras' timers) shows apart from the floor.
    meter = CpuMeter(args.pid)
    second = CpuMeter(args.pid)
    per_second = []
    end = time.monotonic() + args.idle
    while time.monotonic() < end:
        time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        per_second.append(second.read())
    cpu = meter.read()
    rss_after, _ = proc_status(args.pid)
    rows = [
        ("ready (start to first answer)", "%.3f s" % args.ready, "<= 1 s",
         "ok" if args.ready <= 1.0 else "OVER"),
        ("RSS", "%.1f MB" % (rss / 1024.0), "<= 100 MB", "ok" if rss <= 100 * 1024 else "OVER"),
        ("RSS after %g s idle" % args.idle, "%.1f MB" % (rss_after / 1024.0), "", ""),
        ("threads", threads, "", ""),
        ("open descriptors", fds, "", ""),
        ("descriptors per camera", "%.2f" % (fds / float(args.cameras)), "", ""),
        ("idle CPU over %g s" % args.idle, "%.2f %%" % cpu, "near 0",
         "ok" if cpu < 1.0 else "HIGH"),
    ]
    print(table(rows, ("figure", "value", "goal", "")))
    print("idle CPU %% each second: %s" % " ".join("%.1f" % p for p in per_second))
    print()
    print(table(sorted(kinds.items(), key=lambda kv: -kv[1]), ("descriptor kind", "count")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
