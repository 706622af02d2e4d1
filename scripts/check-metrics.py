#!/usr/bin/python3
"""Checks k47ptz-host's GET /metrics with a parser of the exposition format written elsewhere:
prometheus_client's (Debian's python3-prometheus-client; scripts/install-deps.sh installs it).

Starts a simulated Pelco-D line (ptzsim) and the host on an installation whose line and camera
names hold a quote, a backslash, a line break and non-ASCII text, steers a camera through a remote
session (ptzctl), then scrapes /metrics and checks that the parser reads it, that every family
has its HELP and the TYPE it should, that the names come back exactly as the installation file
spells them, and that the counters tell of the traffic.

    scripts/check-metrics.py [--build build/default]

Exit 0 when every check passes, 1 otherwise (a missing prometheus_client module among them).
"""
import argparse
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("check-metrics: FAIL: the Python module prometheus_client is missing "
          "(apt-get install python3-prometheus-client; scripts/install-deps.sh does)",
          file=sys.stderr)
    sys.exit(1)

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
LINE = 'Yard "east" \\ 1'
CAMERA = 'Tor S\u00fcd "q" \\\nx'

COUNTERS = [f"k47ptz_line_{name}_total" for name in (
    "frames_written", "bytes_written", "moves_dropped", "write_failures", "write_timeouts",
    "reopens")] + [f"k47ptz_camera_{name}_total" for name in (
        "moves", "stops", "dead_man_stops", "repeated_stops", "sessions_started",
        "datagrams")] + ["process_cpu_seconds_total"]
GAUGES = ["k47ptz_line_state", "k47ptz_camera_last_command_timestamp_seconds",
          "process_resident_memory_bytes", "process_virtual_memory_bytes", "process_open_fds",
          "process_max_fds", "process_start_time_seconds", "process_threads"]

INSTALLATION = """<?xml version="1.0" encoding="UTF-8"?>
<Installation>
  <ControlService Listen="127.0.0.1" Port="0"/>
  <PTZProtocols>
    <Protocol Name='Yard "east" \\ 1' ProgID="K47PTZ.K47PelcoD" COMPort="{tty}" BaudRate="9600"/>
    <Protocol Name="Loose" ProgID="K47PTZ.Bosch"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Protocol='Yard "east" \\ 1' Address="1"/>
    <Camera Name='Tor S\u00fcd "q" \\&#10;x' Protocol='Yard "east" \\ 1' Address="2"/>
    <Camera Name="Dock" Protocol="Loose" Address="3"/>
  </Cameras>
</Installation>
"""

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print(f"check-metrics: FAIL: {what}", file=sys.stderr)
    return condition


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def scrape(url):
    with urllib.request.urlopen(url + "/metrics", timeout=10) as answer:
        return answer.headers.get("Content-Type"), answer.read().decode("utf-8")


def families_of(text):
    """{sample-name base: family}; counters under their _total name."""
    families = {}
    for family in text_string_to_metric_families(text):
        name = family.name + "_total" if family.type == "counter" else family.name
        check(name not in families, f"family {name} appears twice")
        families[name] = family
    return families


def samples(family, **labels):
    return [s for s in family.samples
            if all(s.labels.get(key) == value for key, value in labels.items())]


def value(families, name, **labels):
    found = samples(families[name], **labels) if name in families else []
    check(len(found) == 1, f"one sample of {name} {labels}, found {len(found)}")
    return found[0].value if found else math.nan


def check_exposition(text, content_type, started):
    check(content_type == CONTENT_TYPE, f"Content-Type {content_type!r}")
    try:
        families = families_of(text)
    except Exception as error:  # the parser's own complaint, whatever its class
        check(False, f"the parser refused the text: {error!r}")
        return
    for name in COUNTERS + GAUGES:
        family = families.get(name)
        if not check(family is not None, f"family {name} is missing"):
            continue
        expected = "counter" if name in COUNTERS else "gauge"
        check(family.type == expected, f"{name} is of type {family.type}, not {expected}")
        check(family.documentation != "", f"{name} has no HELP")
    for name, family in families.items():
        check(family.type not in ("untyped", "unknown"), f"{name} has no TYPE line")
        check(name in COUNTERS + GAUGES, f"family {name} is not documented")

    # The names come back exactly as the installation file spells them.
    lines = {s.labels["line"] for s in families["k47ptz_line_state"].samples}
    check(lines == {LINE, "Loose"}, f"line labels {lines}")
    cameras = {s.labels["camera"] for s in families["k47ptz_camera_moves_total"].samples}
    check(cameras == {"Gate", CAMERA, "Dock"}, f"camera labels {cameras}")
    check(value(families, "k47ptz_camera_stops_total", camera=CAMERA, line=LINE) >= 1,
          "the start-up stop of the camera with the hostile name is counted")

    # One state a line.
    for line in lines:
        states = {s.labels["state"]: s.value
                  for s in samples(families["k47ptz_line_state"], line=line)}
        check(sorted(states.values()) == [0, 0, 0, 0, 1], f"line {line!r} states {states}")
    check(value(families, "k47ptz_line_state", line=LINE, state="up") == 1, "the line is up")
    check(value(families, "k47ptz_line_state", line="Loose", state="none") == 1,
          "the line without port is none")

    # The session's traffic: motion datagrams taken, moves and frames on the line.
    gate = {"camera": "Gate", "line": LINE}
    check(value(families, "k47ptz_camera_sessions_started_total", **gate) == 1,
          "one session started on Gate")
    accepted = value(families, "k47ptz_camera_datagrams_total", verdict="accepted", **gate)
    check(accepted >= 2, f"Gate accepted {accepted} datagrams")
    check(value(families, "k47ptz_camera_moves_total", **gate) >= 1, "Gate moved")
    frames = value(families, "k47ptz_line_frames_written_total", line=LINE)
    check(frames >= 2, f"{frames} frames written")
    check(value(families, "k47ptz_line_bytes_written_total", line=LINE) == 7 * frames,
          "7 bytes a Pelco-D frame")
    check(samples(families["k47ptz_line_frames_written_total"], line="Loose") != [],
          "the line without port has counters")
    last = value(families, "k47ptz_camera_last_command_timestamp_seconds", **gate)
    check(started - 1 <= last <= time.time() + 1, f"Gate's last command at {last}")

    # The process.
    now = time.time()
    start = value(families, "process_start_time_seconds")
    check(started - 5 <= start <= now, f"process start {start}, the host started at {started}")
    check(value(families, "process_threads") >= 3, "the host's threads")
    check(0 < value(families, "process_open_fds") < value(families, "process_max_fds"),
          "open descriptors under the limit")
    check(value(families, "process_resident_memory_bytes") > 1 << 20, "resident memory")
    check(value(families, "process_cpu_seconds_total") >= 0, "CPU time")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--build", default=os.path.join(root, "build", "default"))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    binaries = os.path.join(args.build, "bin")
    for tool in ("k47regsvr", "ptzsim", "k47ptz-host", "ptzctl"):
        if not os.access(os.path.join(binaries, tool), os.X_OK):
            print(f"check-metrics: FAIL: {binaries}/{tool} is missing; build it first",
                  file=sys.stderr)
            return 1

    work = tempfile.mkdtemp(prefix="check-metrics.", dir=args.build)
    env = dict(os.environ, K47_REGISTRY_DIR=os.path.join(work, "registry"),
               K47_RUNTIME_DIR=os.path.join(work, "run"))
    os.makedirs(env["K47_REGISTRY_DIR"])
    os.makedirs(env["K47_RUNTIME_DIR"])
    started = []
    try:
        subprocess.run([os.path.join(binaries, "k47regsvr"),
                        os.path.join(args.build, "lib", "libK47PTZ.so")],
                       env=env, check=True, stdout=subprocess.DEVNULL)
        tty = os.path.join(work, "line.tty")
        with open(os.path.join(work, "ptzsim.log"), "w") as log:
            started.append(subprocess.Popen(
                [os.path.join(binaries, "ptzsim"), "--protocol", "pelco-d", "--link", tty],
                env=env, stdout=log, stderr=log))
        if not check(wait_for(lambda: os.path.exists(tty), 5), "ptzsim made its line"):
            return 1
        config = os.path.join(work, "installation.xml")
        with open(config, "w", encoding="utf-8") as file:
            file.write(INSTALLATION.format(tty=tty))
        host_out = os.path.join(work, "host.out")
        host_started = time.time()
        with open(host_out, "w") as out, open(os.path.join(work, "host.log"), "w") as log:
            started.append(subprocess.Popen(
                [os.path.join(binaries, "k47ptz-host"), "--config", config],
                env=env, stdout=out, stderr=log, cwd=work))
        ready = wait_for(lambda: "ready" in open(host_out).read(), 10)
        if not check(ready, "the host started"):
            print(open(os.path.join(work, "host.log")).read(), file=sys.stderr)
            return 1
        url = re.search(r"control service at (http://[^/]+)/", open(host_out).read()).group(1)

        # A remote session: motion datagrams, then the end of the motion.
        subprocess.run([os.path.join(binaries, "ptzctl"), "--server", url, "--camera", "Gate",
                        "move", "40", "0", "--for", "0.5"],
                       env=env, check=True, stdout=subprocess.DEVNULL, timeout=30)
        content_type, text = scrape(url)
        check_exposition(text, content_type, host_started)
        if failures:
            with open(os.path.join(work, "metrics.txt"), "w", encoding="utf-8") as file:
                file.write(text)
            print(f"check-metrics: the text is in {work}/metrics.txt", file=sys.stderr)
    finally:
        for process in reversed(started):
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    if failures:
        print(f"check-metrics: {len(failures)} check(s) failed", file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    print(f"check-metrics: {len(text.splitlines())} lines of {url}/metrics read by "
          "prometheus_client; every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
