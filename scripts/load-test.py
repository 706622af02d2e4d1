#!/usr/bin/env python3
"""Load test of the host: CAMERAS Pelco-D cameras on LINES simulated lines (one ptzsim each), one
remote session per camera (StartRemoteSessionPTZ, then RATE motion datagrams a second to the port
it answered, for DURATION seconds), one PtzCommand a second, and every session's end-of-motion
datagram at the end.

Every 5 s it samples the host's RSS, threads, descriptors and CPU. At the end it prints, per line,
the datagrams sent against the frames the simulator saw (a line carries at most baud/70 Pelco-D
frames a second and drops superseded moves, so moves seen are compared with that capacity),
whether every session's final stop reached its camera, and the PtzCommand latencies.

    scripts/load-test.py [--duration 180] [--cameras 200] [--lines 8] [--build-dir DIR]

Everything goes to BUILD/load-test; everything started is stopped at the end. Exit status 0 when
the host ran, every session started, every final stop arrived and the host shut down cleanly.
Loopback only; not part of ctest.
"""

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scalekit as kit  # noqa: E402

SAMPLE_PERIOD_S = 5.0
# The 11 stops of an ended motion span 4.0 to 4.4 s; the first must come long before the 5 s
# dead-man stop would, or the end-of-motion datagram was not what stopped the camera.
SETTLE_S = 6.0
STOP_DEADLINE_S = 2.0


def speeds(index, tick):
    """Pan, tilt and zoom of session `index` at send number `tick`: each turns one way for 2 s,
    then back, at a speed of its own, so consecutive moves on a line differ."""
    sign = 1 if (tick // 20 + index) % 2 == 0 else -1
    return sign * (20 + index % 60), -sign * (10 + index % 40), (index % 3 - 1) * 30


class Session:
    def __init__(self, index, lines):
        self.index = index
        self.name = kit.camera_name(index)
        self.line, self.address = kit.line_of(index, lines)
        self.socket = None
        self.destination = None
        self.sequence = 0  # the first datagram carries 1
        self.sent = 0
        self.end_sent = None

    def send(self, pan=0, tilt=0, zoom=0, flags=0):
        self.sequence = (self.sequence + 1) & 0xFFFF
        data = kit.encode_datagram(self.sequence, pan, tilt, zoom, 0, 0, flags)
        self.socket.sendto(data, self.destination)
        self.sent += 1


class Processes:
    """What the test started, stopped in reverse order (the host before the simulators)."""

    def __init__(self):
        self.items = []

    def start(self, name, argv, stdout, stderr):
        process = subprocess.Popen(argv, stdout=stdout, stderr=stderr)
        self.items.append((name, process))
        return process

    def stop(self, process, timeout=10.0):
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        return process.returncode

    def stop_all(self):
        for _, process in reversed(self.items):
            self.stop(process)


class Sampler(threading.Thread):
    def __init__(self, pid, origin):
        super().__init__(daemon=True)
        self.pid = pid
        self.origin = origin
        self.rows = []
        self.done = threading.Event()
        self.host_cpu = kit.CpuMeter(pid)
        self.own_cpu = kit.CpuMeter(os.getpid())

    def sample(self):
        rss, threads = kit.proc_status(self.pid)
        fds = len(kit.fd_targets(self.pid))
        self.rows.append(
            (
                round(time.monotonic() - self.origin),
                round(rss / 1024.0, 1),
                threads,
                fds,
                round(self.host_cpu.read(), 1),
                round(self.own_cpu.read(), 1),
            )
        )

    def run(self):
        while not self.done.wait(SAMPLE_PERIOD_S):
            try:
                self.sample()
            except (OSError, ValueError):
                return  # the host is gone; the main thread reports it


class Commander(threading.Thread):
    """One PtzCommand (auto focus, which moves nothing) a second, to each camera in turn."""

    def __init__(self, url, sessions):
        super().__init__(daemon=True)
        self.url = url
        self.sessions = sessions
        self.latencies = []
        self.failures = []
        self.done = threading.Event()

    def run(self):
        n = 0
        next_at = time.monotonic()
        while not self.done.is_set():
            session = self.sessions[n % len(self.sessions)]
            n += 1
            began = time.monotonic()
            try:
                status, body = kit.soap_call(
                    self.url,
                    "PtzCommand",
                    [("name", session.name), ("cmd", kit.PTZCMD_AUTOFOCUS), ("arg", 1)],
                    timeout=10.0,
                )
                if status == 200:
                    self.latencies.append(time.monotonic() - began)
                else:
                    self.failures.append("%s: HTTP %d %s" % (session.name, status, body[:120]))
            except OSError as e:
                self.failures.append("%s: %s" % (session.name, e))
            next_at += 1.0
            self.done.wait(max(0.0, next_at - time.monotonic()))


def drive(sessions, rate, duration):
    """Sends every session's datagrams, rate a second each, sessions spread evenly over the
    period, for `duration` seconds; returns (start, slots sent late by more than a period)."""
    period = 1.0 / rate
    slots = 10
    begin = time.monotonic()
    ticks = int(round(duration * rate))
    late = 0
    for tick in range(ticks):
        for slot in range(slots):
            due = begin + tick * period + slot * period / slots
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            elif wait < -period:
                late += 1
            for session in sessions[slot::slots]:
                pan, tilt, zoom = speeds(session.index, tick)
                session.send(pan, tilt, zoom)
    return begin, late


def ms(seconds):
    return "%.1f" % (seconds * 1000.0)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--duration", type=float, default=180.0, help="seconds of motion (180)")
    parser.add_argument("--cameras", type=int, default=200)
    parser.add_argument("--lines", type=int, default=8)
    parser.add_argument("--rate", type=float, default=10.0, help="datagrams a second a session")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--port-first", type=int, default=42000, help="first UDP port of the range")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", "build/default"))
    args = parser.parse_args(argv)
    if args.duration <= 0 or args.rate <= 0:
        parser.error("--duration and --rate must be positive")

    build = args.build_dir if os.path.isabs(args.build_dir) else os.path.join(root, args.build_dir)
    binaries = os.path.join(build, "bin")
    for tool in ("k47regsvr", "ptzsim", "k47ptz-host"):
        if not os.access(os.path.join(binaries, tool), os.X_OK):
            print("load-test: %s is missing: build it first" % tool, file=sys.stderr)
            return 1
    work = os.path.join(build, "load-test")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "registry"))
    os.makedirs(os.path.join(work, "run"))
    os.environ["K47_REGISTRY_DIR"] = os.path.join(work, "registry")
    os.environ["K47_RUNTIME_DIR"] = os.path.join(work, "run")
    try:
        config = kit.installation_xml(
            args.cameras, args.lines, work, args.port_first, args.port_first + args.cameras - 1,
            args.baud,
        )
    except ValueError as e:
        parser.error(str(e))

    def terminate(signum, frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, terminate)
    processes = Processes()
    files = []
    try:
        return run(args, binaries, build, work, config, processes, files)
    finally:
        processes.stop_all()
        for f in files:
            f.close()


def run(args, binaries, build, work, config, processes, files):
    def log(name):
        f = open(os.path.join(work, name), "w")
        files.append(f)
        return f

    registered = subprocess.run(
        [os.path.join(binaries, "k47regsvr"), os.path.join(build, "lib", "libK47PTZ.so")],
        stdout=log("regsvr.log"), stderr=subprocess.STDOUT,
    )
    if registered.returncode != 0:
        print("load-test: registration failed", file=sys.stderr)
        return 1
    sims = []
    for line in range(args.lines):
        link = os.path.join(work, "line%d.tty" % line)
        out = log("line%d.jsonl" % line)
        sims.append(
            processes.start(
                "ptzsim",
                [os.path.join(binaries, "ptzsim"), "--protocol", "pelco-d", "--link", link,
                 "--json", "--state-interval", "0"],
                out, log("line%d.err" % line),
            )
        )
        deadline = time.monotonic() + 5
        while not os.path.exists(link) and time.monotonic() < deadline:
            time.sleep(0.02)
        if not os.path.exists(link):
            print("load-test: ptzsim for line %d did not start" % line, file=sys.stderr)
            return 1
    with open(os.path.join(work, "installation.xml"), "w") as f:
        f.write(config)

    origin = time.monotonic()
    since = time.time()
    host = processes.start(
        "host",
        [os.path.join(binaries, "k47ptz-host"), "--config", os.path.join(work, "installation.xml")],
        log("host.out"), log("host.log"),
    )
    ready, url = kit.wait_ready(os.path.join(work, "host.out"), since, kit.camera_name(0), 30.0)
    if ready is None:
        print("load-test: the control service did not answer (see %s/host.log)" % work,
              file=sys.stderr)
        return 1
    print("load-test: %d cameras on %d lines, %s answered %.3f s after the start"
          % (args.cameras, args.lines, url, ready))

    sessions = [Session(i, args.lines) for i in range(args.cameras)]
    began = time.monotonic()
    for session in sessions:
        try:
            status, body = kit.soap_call(url, "StartRemoteSessionPTZ", [("name", session.name)])
            address, port = kit.session_endpoint(status, body)
        except (OSError, ValueError) as e:
            print("load-test: %s: StartRemoteSessionPTZ failed: %s" % (session.name, e),
                  file=sys.stderr)
            return 1
        session.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        session.destination = (address, port)
    setup = time.monotonic() - began
    ports = {s.destination[1] for s in sessions}
    print("load-test: %d sessions started in %.2f s, %d distinct ports; motion for %g s"
          % (len(sessions), setup, len(ports), args.duration))
    if len(ports) != len(sessions):
        print("load-test: two sessions were given one port", file=sys.stderr)
        return 1

    sampler = Sampler(host.pid, origin)
    commander = Commander(url, sessions)
    sampler.sample()
    sampler.start()
    commander.start()
    motion_begin, late = drive(sessions, args.rate, args.duration)
    for session in sessions:
        session.send(flags=kit.END_OF_MOTION)
        session.end_sent = time.monotonic()
    motion_end = time.monotonic()
    commander.done.set()
    commander.join()
    time.sleep(SETTLE_S)
    sampler.done.set()
    sampler.join()
    host_alive = host.poll() is None
    if host_alive:
        sampler.sample()
    shutdown = time.monotonic()
    host_status = processes.stop(host, timeout=30.0)
    for sim in sims:
        processes.stop(sim)
    for f in files:
        f.flush()
    for session in sessions:
        session.socket.close()

    logs = [kit.LineLog.read(os.path.join(work, "line%d.jsonl" % n)) for n in range(args.lines)]
    window = motion_end - motion_begin
    line_rows = []
    missing = []
    delays = []
    for n, line_log in enumerate(logs):
        on_line = [s for s in sessions if s.line == n]
        reached = 0
        line_delays = []
        for session in on_line:
            first, moved_after = line_log.stop_after(session.address, session.end_sent, shutdown)
            if first is not None and not moved_after and first - session.end_sent <= STOP_DEADLINE_S:
                reached += 1
                line_delays.append(first - session.end_sent)
            else:
                missing.append((session.name, first, moved_after))
        delays += line_delays
        moves = line_log.count("move", motion_begin, motion_end)
        total = line_log.total(motion_begin, motion_end)
        capacity = kit.frame_capacity(window, args.baud)
        line_rows.append(
            (
                n,
                len(on_line),
                sum(s.sent for s in on_line),
                moves,
                line_log.count("stop", motion_begin, motion_end),
                total - moves - line_log.count("stop", motion_begin, motion_end),
                int(capacity),
                "%.0f%%" % (100.0 * total / capacity),
                "%d/%d" % (reached, len(on_line)),
                ms(max(line_delays)) if line_delays else "-",
            )
        )
    moving_at_exit = sum(
        sum(1 for moving in line_log.final_moving.values() if moving) for line_log in logs
    )

    print()
    print("Host samples (every %g s; CPU %% of one core)" % SAMPLE_PERIOD_S)
    print(kit.table(sampler.rows, ("t s", "RSS MB", "threads", "fds", "host CPU%", "load CPU%")))
    print()
    print("Lines over the %.1f s of motion (capacity: %d Bd / 70 bits a Pelco-D frame)"
          % (window, args.baud))
    print(kit.table(
        line_rows,
        ("line", "cams", "datagrams", "moves seen", "stops", "other", "capacity", "used",
         "final stop", "stop max ms"),
    ))
    print()
    sent = sum(s.sent for s in sessions)
    summary = [
        ("sessions", len(sessions)),
        ("session set-up", "%.2f s" % setup),
        ("datagrams sent (ends included)", sent),
        ("send rate", "%.0f /s (goal %.0f)" % ((sent - len(sessions)) / window,
                                                args.rate * len(sessions))),
        ("send slots late > 1 period", late),
        ("moves seen, all lines", sum(r[3] for r in line_rows)),
        ("final stops reached within %g s" % STOP_DEADLINE_S,
         "%d/%d" % (len(sessions) - len(missing), len(sessions))),
    ]
    if delays:
        summary.append(("end datagram to first stop",
                        "median %s ms, max %s ms" % (ms(kit.percentile(delays, 50)),
                                                     ms(max(delays)))))
    summary.append(("cameras moving at the simulators' exit", moving_at_exit))
    lat = commander.latencies
    if lat:
        summary.append(("PtzCommand calls", "%d ok, %d failed" % (len(lat), len(commander.failures))))
        summary.append(("PtzCommand latency",
                        "median %s ms, p99 %s ms, max %s ms"
                        % (ms(kit.percentile(lat, 50)), ms(kit.percentile(lat, 99)), ms(max(lat)))))
    else:
        summary.append(("PtzCommand calls", "0 ok, %d failed" % len(commander.failures)))
    summary.append(("host exit status", host_status if host_alive else "died during the run"))
    print(kit.table(summary, ("figure", "value")))
    for failure in commander.failures[:5]:
        print("load-test: PtzCommand failed: %s" % failure, file=sys.stderr)
    for name, first, moved_after in missing[:10]:
        why = ("no stop" if first is None else
               "a move after the stop" if moved_after else "stop too late")
        print("load-test: %s: final stop not reached (%s)" % (name, why), file=sys.stderr)
    ok = host_alive and host_status == 0 and not missing and not commander.failures
    print("load-test: %s (logs in %s)" % ("passed" if ok else "FAILED", work))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
