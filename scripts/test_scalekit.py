"""Checks of the figures the scale bench and the load test rely on:
python3 -m unittest discover -s scripts -p 'test_scalekit.py'"""

import importlib.util
import os
import socket
import struct
import sys
import threading
import time
import unittest
import xml.etree.ElementTree as ET
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import scalekit as kit  # noqa: E402

_spec = importlib.util.spec_from_file_location("load_test", os.path.join(HERE, "load-test.py"))
load_test = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(load_test)


class DatagramBytes(unittest.TestCase):
    # The layout written out: sequence, pan, tilt, zoom, focus, iris little-endian, then the
    # flags and the reserved byte.
    def test_fields_in_order_little_endian_and_signed(self):
        self.assertEqual(
            kit.encode_datagram(1, -1, 256, 2, -32768, 32767),
            bytes([0x01, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x02, 0x00,
                   0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00]),
        )

    def test_end_of_motion_is_bit_0_of_byte_12_with_zero_speeds(self):
        data = kit.encode_datagram(0x1234, flags=kit.END_OF_MOTION)
        self.assertEqual(len(data), 14)
        self.assertEqual(data, bytes([0x34, 0x12] + [0] * 10 + [0x01, 0x00]))

    def test_sequence_wraps_from_65535_to_0(self):
        self.assertEqual(kit.encode_datagram(65535)[:2], b"\xff\xff")
        self.assertEqual(kit.encode_datagram(65536)[:2], b"\x00\x00")


class InstallationFile(unittest.TestCase):
    def parse(self, cameras, lines):
        root = ET.fromstring(kit.installation_xml(cameras, lines, "/tmp/x", 40000, 41999))
        return root

    def test_every_camera_on_a_line_with_a_unique_address(self):
        root = self.parse(1000, 32)
        protocols = root.findall("PTZProtocols/Protocol")
        self.assertEqual(len(protocols), 32)
        self.assertEqual(protocols[5].get("COMPort"), "/tmp/x/line5.tty")
        self.assertEqual({p.get("ProgID") for p in protocols}, {"K47PTZ.K47PelcoD"})
        cams = root.findall("Cameras/Camera")
        self.assertEqual(len(cams), 1000)
        self.assertEqual(len({c.get("Name") for c in cams}), 1000)
        pairs = [(c.get("Protocol"), int(c.get("Address"))) for c in cams]
        self.assertEqual(len(set(pairs)), 1000)
        per_line = Counter(p for p, _ in pairs)
        self.assertEqual(sorted(set(per_line.values())), [31, 32])  # dealt evenly
        self.assertTrue(all(1 <= a <= 255 for _, a in pairs))

    def test_service_on_loopback_and_the_port_range(self):
        root = self.parse(10, 2)
        service = root.find("ControlService")
        self.assertEqual(service.get("Listen"), "127.0.0.1")
        self.assertEqual(service.get("Port"), "0")
        self.assertEqual(root.find("PortService").attrib, {"First": "40000", "Last": "41999"})

    def test_line_of_matches_the_file(self):
        root = self.parse(200, 8)
        for index, cam in enumerate(root.findall("Cameras/Camera")):
            line, address = kit.line_of(index, 8)
            self.assertEqual(cam.get("Name"), kit.camera_name(index))
            self.assertEqual(cam.get("Protocol"), "Line%d" % line)
            self.assertEqual(int(cam.get("Address")), address)

    def test_refuses_what_cannot_be_configured(self):
        with self.assertRaises(ValueError):
            kit.installation_xml(255 * 2 + 1, 2, "/tmp", 1, 60000)  # 256 on one line
        kit.installation_xml(255 * 2, 2, "/tmp", 1, 60000)
        with self.assertRaises(ValueError):
            kit.installation_xml(100, 1, "/tmp", 40000, 40098)  # 99 ports
        with self.assertRaises(ValueError):
            kit.installation_xml(3, 4, "/tmp", 1, 10)


class SoapExchange(unittest.TestCase):
    def test_request_names_the_operation_in_namespace(self):
        body = kit.soap_body("PtzCommand", [("name", "A<B"), ("cmd", 43), ("arg", 1)])
        root = ET.fromstring(body)
        op = root.find("{http://schemas.xmlsoap.org/soap/envelope/}Body/"
                       "{http://k47ptz.org/VLTControl/VLT}PtzCommand")
        self.assertIsNotNone(op)
        values = {child.tag.split("}")[1]: child.text for child in op}
        self.assertEqual(values, {"name": "A<B", "cmd": "43", "arg": "1"})

    def test_session_endpoint_from_answer_and_fault(self):
        answer = ("<soap:Envelope><soap:Body><StartRemoteSessionPTZResponse xmlns=\"x\">"
                  "<ipv4addr>2130706433</ipv4addr><port>47123</port>"
                  "</StartRemoteSessionPTZResponse></soap:Body></soap:Envelope>")
        self.assertEqual(kit.session_endpoint(200, answer), ("127.0.0.1", 47123))
        self.assertEqual(kit.session_endpoint(200, answer.replace("2130706433", "0")),
                         ("127.0.0.1", 47123))
        self.assertEqual(kit.session_endpoint(200, answer.replace("2130706433", "3232235777")),
                         ("192.168.1.1", 47123))
        with self.assertRaisesRegex(ValueError, "no such camera"):
            kit.session_endpoint(500, "<faultstring>no such camera</faultstring>")
        with self.assertRaises(ValueError):
            kit.session_endpoint(200, answer.replace("<port>47123</port>", ""))

    def test_service_url_from_host_output(self):
        out = ("k47ptz-host: control service at http://127.0.0.1:39001/VLTControl/VLTControl.asmx"
               "\nk47ptz-host: ready\n")
        self.assertEqual(kit.service_url(out),
                         "http://127.0.0.1:39001/VLTControl/VLTControl.asmx")
        self.assertIsNone(kit.service_url("k47ptz-host: ready\n"))


class ProcReadings(unittest.TestCase):
    def test_descriptors_and_their_kinds_follow_what_is_opened(self):
        pid = os.getpid()
        before = kit.fd_kinds(pid)
        r, w = os.pipe()
        sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
        try:
            after = kit.fd_kinds(pid)
            self.assertEqual(after["pipe"] - before["pipe"], 2)
            self.assertEqual(after["socket"] - before["socket"], 3)
            self.assertEqual(sum(after.values()) - sum(before.values()), 5)
        finally:
            os.close(r)
            os.close(w)
            for s in sockets:
                s.close()
        self.assertEqual(kit.fd_kind("anon_inode:[eventfd]"), "anon_inode:[eventfd]")
        self.assertEqual(kit.fd_kind("/dev/pts/7"), "pty")
        self.assertEqual(kit.fd_kind("/usr/lib/libx.so"), "file")

    def test_threads_and_cpu_of_a_running_process(self):
        release = threading.Event()
        _, threads_before = kit.proc_status(os.getpid())
        worker = threading.Thread(target=release.wait)
        worker.start()
        try:
            rss, threads = kit.proc_status(os.getpid())
            self.assertEqual(threads, threads_before + 1)
            self.assertGreater(rss, 1000)  # KiB: a Python process is megabytes
        finally:
            release.set()
            worker.join()
        # Against the process's own CPU clock, so a loaded machine changes both alike; ticks are
        # 10 ms, so 0.3 s of CPU is known to a few per cent.
        meter = kit.CpuMeter(os.getpid())
        wall, cpu = time.monotonic(), time.process_time()
        while time.process_time() - cpu < 0.3:
            pass
        expected = 100.0 * (time.process_time() - cpu) / (time.monotonic() - wall)
        self.assertAlmostEqual(meter.read(), expected, delta=15.0)
        time.sleep(0.3)
        self.assertLess(meter.read(), 10.0)

    def test_cpu_ticks_of_a_command_with_parentheses_in_its_name(self):
        # utime 17 and stime 4 are fields 14 and 15; the name "a) b" must not shift them.
        line = "123 (a) b) S 1 1 1 0 -1 0 0 0 0 0 17 4 99 99 20 0 1 0"
        self.assertEqual(kit.stat_ticks(line), 21)
        with open("/proc/self/stat") as f:
            fields = f.read().split()
        if ")" in fields[1]:  # a plain name: the naive count gives the same answer
            self.assertEqual(kit.stat_ticks(" ".join(fields)), int(fields[13]) + int(fields[14]))


class Figures(unittest.TestCase):
    def test_nearest_rank_percentiles(self):
        values = list(range(100, 0, -1))  # order must not matter
        self.assertEqual(kit.percentile(values, 50), 50)
        self.assertEqual(kit.percentile(values, 99), 99)
        self.assertEqual(kit.percentile(values, 100), 100)
        self.assertEqual(kit.percentile([7], 99), 7)
        self.assertEqual(kit.percentile([1, 2, 3, 4], 50), 2)
        self.assertEqual(kit.percentile([1, 2, 3, 1000], 99), 1000)
        with self.assertRaises(ValueError):
            kit.percentile([], 50)

    def test_frame_capacity_at_9600_baud(self):
        # 7 bytes of 10 bits: 7.2917 ms a frame, 137.14 frames a second.
        self.assertAlmostEqual(kit.frame_capacity(1.0, 9600), 137.142857, places=4)
        self.assertAlmostEqual(kit.frame_capacity(180.0, 2400), 6171.428571, places=4)

    def test_table_aligns_columns(self):
        text = kit.table([("a", 1), ("bbb", 1234)], ("name", "n"))
        self.assertEqual(text.splitlines(), ["name     n", "----  ----", "a        1",
                                             "bbb   1234"])


class LineLogs(unittest.TestCase):
    LOG = [
        "ptzsim: line /dev/pts/9",
        '{"event":"start","elapsed":0.0,"monotonic":1000.0}',
        '{"event":"frame","elapsed":1.0,"address":1,"kind":"move"}',
        '{"event":"frame","elapsed":1.5,"address":2,"kind":"move"}',
        '{"event":"frame","elapsed":2.0,"address":1,"kind":"stop"}',
        '{"event":"frame","elapsed":2.1,"address":2,"kind":"auto-focus"}',
        '{"event":"frame","elapsed":2.2,"address":2,"kind":"stop"}',
        '{"event":"frame","elapsed":2.3,"address":2,"kind":"move"}',
        '{"event":"final","elapsed":3.0,"address":1,"state":{"moving":false}}',
        '{"event":"final","elapsed":3.0,"address":2,"state":{"moving":true}}',
        '{"event":"exit","elapsed":3.0,"frames":6}',
    ]

    def log(self):
        log = kit.LineLog()
        for text in self.LOG:
            log.feed(text)
        return log

    def test_counts_on_the_monotonic_clock(self):
        log = self.log()
        self.assertEqual(log.count("move"), 3)
        self.assertEqual(log.count("move", 1001.0, 1002.0), 2)  # half-open window
        self.assertEqual(log.count("stop", 1002.0, 1002.2), 1)
        self.assertEqual(log.total(1001.5, 1003.0), 5)
        self.assertEqual(log.exit["frames"], 6)
        self.assertEqual(log.final_moving, {1: False, 2: True})

    def test_first_stop_after_the_end_and_a_move_behind_it(self):
        log = self.log()
        self.assertEqual(log.stop_after(1, 1001.2), (1002.0, False))
        first, moved = log.stop_after(2, 1001.0)
        self.assertAlmostEqual(first, 1002.2)
        self.assertTrue(moved)
        self.assertEqual(log.stop_after(2, 1001.0, until=1002.25)[1], False)
        self.assertEqual(log.stop_after(1, 1002.5), (None, False))
        self.assertEqual(log.stop_after(3, 0), (None, False))

    def test_frame_before_start_is_refused(self):
        log = kit.LineLog()
        with self.assertRaises(ValueError):
            log.feed('{"event":"frame","elapsed":1.0,"address":1,"kind":"move"}')


class LoadGenerator(unittest.TestCase):
    def receiver(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        sock.settimeout(2.0)
        self.addCleanup(sock.close)
        return sock

    def session(self, index, destination):
        session = load_test.Session(index, 8)
        session.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(session.socket.close)
        session.destination = destination
        return session

    def test_moves_never_look_like_a_stop_and_turn_back_every_2_s(self):
        # An all-zero move would be reported as the session's final stop.
        for index in range(200):
            for tick in range(0, 200):
                pan, tilt, _ = load_test.speeds(index, tick)
                self.assertNotEqual(pan, 0)
                self.assertTrue(-100 <= pan <= 100 and -100 <= tilt <= 100)
            first = load_test.speeds(index, 0)
            self.assertEqual(load_test.speeds(index, 19), first)
            self.assertEqual(load_test.speeds(index, 20)[0], -first[0])

    def test_session_numbers_from_1_and_ends_with_the_flag(self):
        peer = self.receiver()
        session = self.session(9, peer.getsockname())
        self.assertEqual((session.line, session.address, session.name), (1, 2, "Cam0009"))
        session.send(10, -20, 30)
        session.send(flags=kit.END_OF_MOTION)
        self.assertEqual(peer.recv(64), bytes([1, 0, 10, 0, 0xEC, 0xFF, 30, 0] + [0] * 6))
        self.assertEqual(peer.recv(64), bytes([2, 0] + [0] * 10 + [1, 0]))
        self.assertEqual(session.sent, 2)

    def test_drive_sends_each_session_at_the_rate_in_sequence(self):
        peer = self.receiver()
        sessions = [self.session(i, peer.getsockname()) for i in range(12)]
        began = time.monotonic()
        load_test.drive(sessions, 20.0, 0.5)  # 10 datagrams each
        elapsed = time.monotonic() - began
        self.assertGreaterEqual(elapsed, 0.45)  # the last tick is due 0.45 s in, at its end
        self.assertLess(elapsed, 0.8)  # at half the rate it would take 0.9 s
        self.assertEqual([s.sent for s in sessions], [10] * 12)
        # Each session's pan speed is its own (20 + index), whichever way it turns.
        sequences = {}
        for _ in range(120):
            sequence, pan = struct.unpack("<Hh", peer.recv(64)[:4])
            sequences.setdefault(abs(pan) - 20, []).append(sequence)
        self.assertEqual(sequences, {i: list(range(1, 11)) for i in range(12)})


if __name__ == "__main__":
    unittest.main()
