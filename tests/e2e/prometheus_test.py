"""tolvek-stats --format prometheus against real repeaters and a fake one on
loopback, its output read back with prometheus_client's own parser.

Usage: /usr/bin/python3 prometheus_test.py TOLVEK TOLVEK_STATS
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from loopback import Repeater, fragments, udp_socket

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit("needs Debian's python3-prometheus-client, run with /usr/bin/python3 "
             "(bash scripts/deps python3-prometheus-client)")

TOLVEK, STATS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
# Half an hour off UTC: a time read as UTC, or in the wrong zone, is caught.
ZONE = "IST-5:30"


def run_stats(*args, env=None):
    p = subprocess.run([STATS, *args], capture_output=True, text=True, timeout=30, umask=0o022,
                       env=dict(os.environ, TZ=ZONE, **(env or {})))
    return p.returncode, p.stdout, p.stderr


def promtool_check(test, text):
    """Checks text as Prometheus itself reads it: unlike the Python parser,
    which merges them silently, promtool refuses a second HELP or TYPE line
    for a family."""
    promtool = shutil.which("promtool")
    if promtool is None:
        test.fail("needs promtool from Debian's prometheus (bash scripts/deps prometheus)")
    p = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True, timeout=30)
    test.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""), text)


def families(test, text, repeater):
    """Parses text, checks every sample names the repeater, and returns the
    families by sample name: {name: (type, [(labels, value)])}."""
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            test.assertEqual(s.labels.get("repeater"), repeater, s)
            out.setdefault(s.name, (family.type, []))[1].append((s.labels, s.value))
    return out


STATUS = ('{"version":"2.0.5","started":1700000000,"input_port":5000,"source":null,"failovers":0,'
          '"last_data_age":0.5,"max_clients":32,"table":0,"receiving":0}')


class FakeRepeater:
    """Answers each "get_stats" with the next of replies: text to send as
    fragments, or a threading.Event to wait for before sending the text that
    follows it; and each "get_status" with STATUS."""

    def __init__(self, replies):
        self.sock = udp_socket(timeout=10)
        self.port = self.sock.getsockname()[1]
        self.replies = list(replies)
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            while self.replies:
                request, sender = self.sock.recvfrom(65536)
                if request.startswith(b"get_status"):
                    self.sock.sendto(fragments(STATUS)[0], sender)
                if not request.startswith(b"get_stats"):
                    continue
                reply = self.replies.pop(0)
                if isinstance(reply, threading.Event):
                    reply.wait(10)
                    reply = self.replies.pop(0)
                for d in fragments(reply):
                    self.sock.sendto(d, sender)
        except OSError:
            pass

    def close(self):
        self.sock.close()
        self.thread.join(5)


def version():
    """tolvek-stats's version, from its --version line."""
    return run_stats("--version")[1].split()[1]


def down(repeater):
    """The families of a repeater without a report: tolvek_up 0, and the
    version of tolvek-stats, which is there whatever the repeater says."""
    return {"tolvek_up": ("gauge", [({"repeater": repeater}, 0)]),
            "tolvek_build_info": ("gauge", [({"repeater": repeater, "version": version()}, 1)])}


def report(clients=(), **fields):
    """A report in the daemon's own layout, with fields replaced."""
    head = {"udp_payload": "801.33 kbps", "total_bytes": "1000", "frames_sec": "100.2", "lost_frames_sec": "0.500",
            "frames_received": "5", "frames_lost": "1", "connected_clients": str(len(clients))}
    head.update(fields)
    return json.dumps(dict(head, clients=list(clients)))


class RealRepeaters(unittest.TestCase):
    """One repeater with three permanent clients and one without clients,
    each sent the same five datagrams, one sequence number left out."""

    @classmethod
    def setUpClass(cls):
        cls.receivers = [udp_socket() for _ in range(3)]
        cls.started = time.time()
        cls.busy = Repeater(TOLVEK, "".join(f"client 127.0.0.1:{r.getsockname()[1]}\n" for r in cls.receivers),
                           env={"TZ": ZONE})
        cls.idle = Repeater(TOLVEK, env={"TZ": ZONE})
        with udp_socket() as source:
            for seq in (1, 2, 3, 5, 6):
                for r in (cls.busy, cls.idle):
                    source.sendto(struct.pack(">HH", 0x8000, seq) + b"x" * 196, ("127.0.0.1", r.in_port))
        # Once the stream has been idle for 2 s, a request rebuilds the report.
        time.sleep(2.2)

    @classmethod
    def tearDownClass(cls):
        for r in (cls.busy, cls.idle):
            r.close()
        for r in cls.receivers:
            r.close()

    def test_several_clients(self):
        target = f"127.0.0.1:{self.busy.stats_port}"
        rc, out, err = run_stats(target)
        self.assertEqual((rc, err), (0, ""))
        as_json = json.loads(out)
        # Within 2 s of the first, the repeater serves the same report again.
        rc, out, err = run_stats(target, "--format", "prometheus")
        self.assertEqual((rc, err), (0, ""))
        promtool_check(self, out)
        m = families(self, out, target)
        status = {"tolvek_start_time_seconds", "tolvek_input_port", "tolvek_failovers_total",
                  "tolvek_last_data_age_seconds", "tolvek_max_clients"}
        stream = {name: (kind, [round(v, 6) for _, v in samples]) for name, (kind, samples) in m.items()
                  if not name.startswith("tolvek_client_") and name not in status}
        self.assertEqual(stream, {
            "tolvek_up": ("gauge", [1]),
            "tolvek_build_info": ("gauge", [1]),
            # kbps in the report, bytes a second here
            "tolvek_payload_bytes_per_second": ("gauge", [round(float(as_json["udp_payload"][:-5]) * 125, 6)]),
            "tolvek_frames_per_second": ("gauge", [float(as_json["frames_sec"])]),
            "tolvek_lost_frames_per_second": ("gauge", [float(as_json["lost_frames_sec"])]),
            "tolvek_received_bytes_total": ("counter", [1000]),
            "tolvek_frames_received_total": ("counter", [5]),
            "tolvek_frames_lost_total": ("counter", [1]),
            "tolvek_connected_clients": ("gauge", [3]),
        })
        # The daemon's own state, from its status.
        self.assertEqual(m["tolvek_input_port"], ("gauge", [({"repeater": target}, self.busy.in_port)]))
        self.assertEqual(m["tolvek_failovers_total"], ("counter", [({"repeater": target}, 0)]))
        self.assertEqual(m["tolvek_max_clients"], ("gauge", [({"repeater": target}, 32)]))
        self.assertTrue(int(self.started) - 1 <= m["tolvek_start_time_seconds"][1][0][1] <= time.time())
        self.assertTrue(2 <= m["tolvek_last_data_age_seconds"][1][0][1] < 30, m["tolvek_last_data_age_seconds"])
        self.assertTrue(as_json["udp_payload"].endswith(" kbps"))
        self.assertGreater(stream["tolvek_payload_bytes_per_second"][1][0], 0)
        ports = sorted(str(r.getsockname()[1]) for r in self.receivers)
        now = time.time()
        for name, kind in (("tolvek_client_packets_sent_total", "counter"),
                           ("tolvek_client_last_contact_timestamp_seconds", "gauge"),
                           ("tolvek_client_up_since_timestamp_seconds", "gauge")):
            self.assertEqual(m[name][0], kind, name)
            samples = m[name][1]
            self.assertEqual(sorted(l["port"] for l, _ in samples), ports, name)
            for labels, value in samples:
                self.assertEqual((labels["ip"], labels["mac"]), ("127.0.0.1", "000000000000"))
                if name.endswith("_total"):
                    self.assertEqual(value, 5)
                else:  # permanent clients: both times are the repeater's start
                    self.assertTrue(int(self.started) - 1 <= value <= now, (name, value, self.started))

    def test_no_clients(self):
        target = f"localhost:{self.idle.stats_port}"
        rc, out, err = run_stats(target, "--format", "prometheus")
        self.assertEqual((rc, err), (0, ""))
        promtool_check(self, out)
        m = families(self, out, target)
        self.assertEqual(m["tolvek_up"][1][0][1], 1)
        self.assertEqual(m["tolvek_connected_clients"][1][0][1], 0)
        self.assertEqual(m["tolvek_frames_received_total"][1][0][1], 5)
        self.assertEqual([n for n in m if n.startswith("tolvek_client_")], [])


class FakeRepeaters(unittest.TestCase):
    def setUp(self):
        self.fake = None
        self.dir = tempfile.mkdtemp(prefix="tolvek_prom_")

    def tearDown(self):
        if self.fake:
            self.fake.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def serve(self, *replies):
        self.fake = FakeRepeater(replies)
        return f"127.0.0.1:{self.fake.port}"

    def test_odd_label_values(self):
        odd = [{"ip": 'say "hi"', "port": "back\\slash \\n", "mac": "two\nlines", "last_contact": "01-01-1970 05:30:00",
                "up_since": "01-01-1970 05:30:01", "pkts_sent": "7"},
               {"ip": "\u00e9t\u00e9 \u2603", "port": "", "mac": "}{=,", "last_contact": "01-01-1970 05:30:00",
                "up_since": "01-01-1970 05:30:00", "pkts_sent": "8"}]
        target = self.serve(report(odd))
        rc, out, err = run_stats(target, "--format", "prometheus")
        self.assertEqual((rc, err), (0, ""))
        sent = families(self, out, target)["tolvek_client_packets_sent_total"][1]
        self.assertEqual([({k: l[k] for k in ("ip", "port", "mac")}, v) for l, v in sent],
                         [({k: c[k] for k in ("ip", "port", "mac")}, float(c["pkts_sent"])) for c in odd])
        up = families(self, out, target)["tolvek_client_up_since_timestamp_seconds"][1]
        self.assertEqual([v for _, v in up], [1, 0])

    def test_no_answer_or_no_report_is_down_alone(self):
        silent = udp_socket()
        target = f"127.0.0.1:{silent.getsockname()[1]}"
        rc, out, err = run_stats(target, "--format", "prometheus", "--timeout", "0.3")
        silent.close()
        self.assertEqual(rc, 1)
        self.assertEqual(err, f"tolvek-stats: no reply from {target} within 0.3 s\n")
        self.assertEqual(families(self, out, target), down(target))
        promtool_check(self, out)

        cut = report([{"ip": "10.0.0.7"}])[:40]
        target = self.serve(cut, '{"frames_sec": "fast"}')
        for expected in ("not JSON (ends unfinished after 40 bytes)", '"frames_sec" is "fast", not a number'):
            rc, out, err = run_stats(target, "--format", "prometheus")
            self.assertEqual(rc, 1)
            self.assertEqual(err, f"tolvek-stats: the reply from {target} is not a statistics report: {expected}\n")
            self.assertEqual(families(self, out, target), down(target))

    def wait_for(self, path, holds):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with open(path) as f:
                    if holds(f.read()):
                        return
            except FileNotFoundError:
                pass
            time.sleep(0.01)
        self.fail(f"{path} never came to hold what was awaited")

    def test_output_file_is_replaced_whole_each_round(self):
        answer = threading.Event()
        target = self.serve(report(frames_received="11"), answer, "no report", report(frames_received="33"))
        path = os.path.join(self.dir, "tolvek.prom")
        # Each round waits up to 10 s for its reply, so the rounds follow the
        # test rather than the clock.
        p = subprocess.Popen([STATS, target, "--format", "prometheus", "--output", path, "--watch", "0.1",
                              "--count", "3", "--timeout", "10"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, umask=0o022)
        self.wait_for(path, lambda text: "tolvek_frames_received_total" in text)
        first = open(path)
        first_text = first.read()
        answer.set()
        self.wait_for(path, lambda text: "tolvek_frames_received_total" not in text)
        # A reader of the old file still has all of it: the new one was renamed over it.
        first.seek(0)
        self.assertEqual(first.read(), first_text)
        first.close()
        out, err = p.communicate(timeout=20)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(out, "")
        self.assertIn("is not a statistics report: not JSON", err)
        with open(path) as f:
            m = families(self, f.read(), target)
        self.assertEqual(m["tolvek_frames_received_total"][1][0][1], 33)
        self.assertEqual(families(self, first_text, target)["tolvek_frames_received_total"][1][0][1], 11)
        self.assertEqual(os.listdir(self.dir), ["tolvek.prom"])
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o644)

    def test_json_output_file(self):
        text = report()
        target = self.serve(text)
        path = os.path.join(self.dir, "report.json")
        self.assertEqual(run_stats(target, "--output", path), (0, "", ""))
        with open(path) as f:
            self.assertEqual(f.read(), text + "\n")
        # No stale report: a round without one takes the file away.
        rc, _, _ = run_stats(target, "--output", path, "--timeout", "0.2")
        self.assertEqual(rc, 1)
        self.assertFalse(os.path.exists(path))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
