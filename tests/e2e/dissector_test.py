"""The Wireshark dissector, run by tshark over a capture of known datagrams:
control packets of fixed bytes, and the keep-alive and a statistics reply in
three fragments as a real repeater sends them.

Usage: /usr/bin/python3 dissector_test.py TOLVEK DISSECTOR_LUA
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from loopback import Repeater, udp_socket

TOLVEK, DISSECTOR = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
if not shutil.which("tshark"):
    sys.exit("needs tshark (bash scripts/deps tshark)")

LOOPBACK = "127.0.0.1"
MAC = bytes([0x02, 0x00, 0x5e, 0x10, 0x20, 0x30])
STATUS = struct.pack("<BIIIIHHHHH", 3, 0x01020304, 2, 0, 1, 258, 3, 0x0a0b, 5, 0x1234)
CONTROL_PORT = 5002  # the one the configured-port run names


def write_pcap(path, datagrams):
    """datagrams: (source port, destination port, payload), all on loopback,
    as IPv4 packets without a link layer (LINKTYPE_RAW)."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 101))
        for n, (sport, dport, payload) in enumerate(datagrams):
            udp = struct.pack(">HHHH", sport, dport, 8 + len(payload), 0) + payload
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), n, 0, 64, 17, 0, bytes([127, 0, 0, 1]),
                             bytes([127, 0, 0, 1]))
            total = sum(struct.unpack(">10H", ip))
            while total > 0xffff:
                total = (total & 0xffff) + (total >> 16)
            ip = ip[:10] + struct.pack(">H", ~total & 0xffff) + ip[12:]
            f.write(struct.pack("<IIII", 1700000000 + n, 0, len(ip) + len(udp), len(ip) + len(udp)) + ip + udp)


FIELDS = ["frame.protocols", "_ws.col.Info", "tolvek.magic", "tolvek.type", "tolvek.upper_bits", "tolvek.sender_id",
          "tolvek.sender_name", "tolvek.keepalive", "tolvek.ext_count", "tolvek.ext.type", "tolvek.ext.length",
          "tolvek.password", "tolvek.password.nul", "tolvek.ext.past_end", "_ws.expert.message",
          "tolvek.status.status", "tolvek.status.received_frames", "tolvek.status.lost_frames",
          "tolvek.status.duplicate_frames", "tolvek.status.dropped_frames", "tolvek.status.max_jitter",
          "tolvek.status.min_jitter", "tolvek.status.avg_jitter", "tolvek.status.avg_delay",
          "tolvek.status.bit_rate", "tolvek.legacy", "tolvek.stats_request", "tolvek.reply.total_length",
          "tolvek.reply.index", "tolvek.reply.fragments", "tolvek.reply.json"]


def tshark(pcap, *options):
    """Each frame's fields by name, "" where absent, occurrences joined by commas."""
    cmd = ["tshark", "-n", "-X", "lua_script:" + DISSECTOR, "-r", pcap, *options, "-T", "fields",
           "-E", "occurrence=a", "-E", "aggregator=,"]
    for name in FIELDS:
        cmd += ["-e", name]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    if p.returncode != 0 or "Lua" in p.stderr:
        raise RuntimeError(p.stderr)
    return [dict(zip(FIELDS, line.split("\t"))) for line in p.stdout.splitlines()]


class Dissector(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="tolvek_dissector_")
        # Twenty clients make a report of three fragments; the source's
        # password makes the repeater send its keep-alive there at start-up.
        cls.source = udp_socket(timeout=5)
        source_port = cls.source.getsockname()[1]
        cls.clients = [udp_socket() for _ in range(20)]
        r = Repeater(TOLVEK, f"source 127.0.0.1:{source_port} chain\n" +
                     "".join(f"client 127.0.0.1:{c.getsockname()[1]}\n" for c in cls.clients))
        try:
            cls.keepalive, sender = cls.source.recvfrom(65536)
            cls.keepalive_ports = (sender[1], source_port)
            cls.source.sendto(b"\x80\x21\x00\x01" + bytes(200), (LOOPBACK, r.in_port))
            time.sleep(2.2)  # idle for 2 s: the next request rebuilds the report
            asker = udp_socket(timeout=5)
            asker.sendto(b"get_stats", (LOOPBACK, r.stats_port))
            cls.reply = []
            while not cls.reply or len(b"".join(d[8:] for d in cls.reply)) < struct.unpack("<I", cls.reply[0][:4])[0]:
                cls.reply.append(asker.recvfrom(65536)[0])
            cls.reply_ports = (r.stats_port, asker.getsockname()[1])
            asker.close()
        finally:
            r.close()
        cls.report = b"".join(d[8:] for d in cls.reply).decode()

        cls.datagrams = [
            (40000, 40002, b"QMZ\x00" + MAC + b"\x01\x00" + b"\x01\x00\x07secret\x00"),
            (40000, 40002, b"QMZ\x21" + MAC + b"\x01\x00" + b"\x02\x00\x1b" + STATUS),
            # The second record claims 258 bytes; 5 follow.
            (40001, CONTROL_PORT, b"QMZ\x00" + MAC + b"\x02\x00" + b"\x01\x00\x07secret\x00" + b"\x01\x01\x02abcde"),
            (*cls.keepalive_ports, cls.keepalive),
            (40000, 40002, b"QMZ\x42" + MAC + b"\x00\x00"),
            (40000, 40002, b"QMZ\x00"),
            (*reversed(cls.reply_ports), b"get_stats"),
            # The reply's fragments out of order: the last one completes it.
            *[(*cls.reply_ports, cls.reply[i]) for i in (2, 0, 1)],
            # Not this protocol: a stream datagram; one whose head reads as a
            # fragment's and whose size fits, but binary; one of text whose
            # head reads as a fragment's but whose size does not fit.
            (40020, 40021, b"\x80\x21\x00\x05" + bytes(range(200))),
            (40020, 40021, b"\x80\x21\x10\x00" + bytes(4) + bytes(range(200)) * 7),
            (40020, 40021, struct.pack("<II", 3000, 0) + b'{"a": "' + b"x" * 200),
        ]
        cls.pcap = os.path.join(cls.dir, "tolvek.pcap")
        write_pcap(cls.pcap, cls.datagrams)
        cls.rows = tshark(cls.pcap)

    @classmethod
    def tearDownClass(cls):
        cls.source.close()
        for c in cls.clients:
            c.close()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def field(self, frame, name):
        return self.rows[frame - 1][name]

    def fields(self, frame, *names):
        return [self.rows[frame - 1][n] for n in names]

    def test_registration_with_password(self):
        self.assertEqual(self.fields(1, "tolvek.magic", "tolvek.type", "tolvek.upper_bits", "tolvek.sender_id",
                                     "tolvek.ext_count", "tolvek.ext.type", "tolvek.ext.length", "tolvek.password",
                                     "tolvek.password.nul", "tolvek.keepalive", "tolvek.ext.past_end"),
                         ["QMZ", "0", "0", "02:00:5e:10:20:30", "1", "1", "7", "secret", "1", "", ""])
        self.assertEqual(self.field(1, "_ws.col.Info"), 'Register from 02:00:5e:10:20:30, password "secret"')

    def test_status_report_figures_are_little_endian(self):
        self.assertEqual(self.fields(2, "tolvek.type", "tolvek.upper_bits", "tolvek.ext.type", "tolvek.ext.length"),
                         ["1", "1", "2", "27"])
        self.assertEqual(self.fields(2, *[n for n in FIELDS if n.startswith("tolvek.status.")]),
                         ["3", str(0x01020304), "2", "0", "1", "258", "3", str(0x0a0b), "5", str(0x1234)])

    def test_record_past_the_datagram_is_malformed(self):
        self.assertEqual(self.fields(3, "tolvek.ext_count", "tolvek.ext.type", "tolvek.ext.length",
                                     "tolvek.password", "tolvek.ext.past_end"),
                         ["2", "1,1", "7,258", "secret", "1"])
        self.assertEqual(self.field(3, "_ws.expert.message"),
                         "Malformed: the record claims 258 bytes, the datagram holds 5 more")
        self.assertTrue(self.field(3, "_ws.col.Info").endswith("[Malformed]"))
        for frame in (1, 2, 4):
            self.assertEqual(self.field(frame, "_ws.expert.message"), "", frame)

    def test_repeaters_own_keepalive(self):
        self.assertEqual(self.fields(4, "tolvek.type", "tolvek.upper_bits", "tolvek.sender_id", "tolvek.sender_name",
                                     "tolvek.keepalive", "tolvek.password", "tolvek.password.nul"),
                         ["0", "1", "74:6f:6c:76:65:6b", "tolvek", "1", "chain", "0"])
        self.assertEqual(self.field(4, "_ws.col.Info"),
                         'Keep-alive from a repeater (sender id tolvek), password "chain" without NUL')

    def test_stop_legacy_and_request(self):
        self.assertEqual(self.fields(5, "tolvek.type", "tolvek.upper_bits", "tolvek.ext_count"), ["2", "2", "0"])
        self.assertEqual(self.fields(6, "tolvek.magic", "tolvek.legacy", "tolvek.type"), ["QMZ", "1", ""])
        self.assertEqual(self.field(7, "tolvek.stats_request"), "get_stats")

    def test_reply_in_three_fragments_is_put_back_together(self):
        self.assertEqual(len(self.reply), 3)
        total = str(len(self.report.encode()))
        self.assertEqual([self.fields(f, "tolvek.reply.total_length", "tolvek.reply.index", "tolvek.reply.fragments")
                          for f in (8, 9, 10)], [[total, "2", "3"], [total, "0", "3"], [total, "1", "3"]])
        self.assertEqual([self.field(f, "tolvek.reply.json") for f in (8, 9)], ["", ""])
        self.assertEqual(self.field(10, "tolvek.reply.json"), self.report)
        self.assertEqual(len(json.loads(self.field(10, "tolvek.reply.json"))["clients"]), 20)

    def test_other_traffic_is_left_alone(self):
        for frame in (11, 12, 13):
            self.assertNotIn("tolvek", self.field(frame, "frame.protocols"), frame)

    def test_configured_ports_without_the_heuristic(self):
        rows = tshark(self.pcap, "--disable-heuristic", "tolvek_udp", "-o", f"tolvek.control_ports:{CONTROL_PORT}",
                      "-o", f"tolvek.stats_ports:{self.reply_ports[0]}")
        decoded = [n + 1 for n, row in enumerate(rows) if "tolvek" in row["frame.protocols"]]
        self.assertEqual(decoded, [3, 7, 8, 9, 10])
        self.assertEqual(rows[9]["tolvek.reply.json"], self.report)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
