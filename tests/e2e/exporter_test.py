"""tolvek-stats --listen against real repeaters on loopback: the status page
in Debian's headless Chromium, driven through chromedriver's WebDriver
protocol (HTTP and JSON, so the standard library suffices), and /metrics
read by promtool and by prometheus_client's own parser.

Usage: /usr/bin/python3 exporter_test.py TOLVEK TOLVEK_STATS [Page|Metrics]
With TOLVEK_SCREENSHOT=FILE in the environment, the page test saves the
browser's screenshot there.
"""
import base64
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
import urllib.error
import urllib.request

from loopback import Repeater, free_port, udp_socket

TOLVEK, STATS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])


def wait_for(what, check, timeout):
    """check() until it returns something true, else fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value or time.monotonic() > deadline:
            if not value:
                raise AssertionError(f"not within {timeout} s: {what}")
            return value
        time.sleep(0.1)


class Exporter:
    """tolvek-stats --listen on a port of its own choosing, for repeaters."""

    def __init__(self, *repeaters, timeout="2"):
        self.err = tempfile.TemporaryFile("w+")
        self.proc = subprocess.Popen([STATS, "--listen", "127.0.0.1:0", *repeaters, "--timeout", timeout],
                                     stdout=subprocess.PIPE, stderr=self.err, text=True)
        line = self.proc.stdout.readline()
        self.url = line[line.index("http://"):].split()[0]

    def get(self, path):
        with urllib.request.urlopen(self.url + path.lstrip("/"), timeout=10) as r:
            return r.read().decode()

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class Stream(threading.Thread):
    """50 RTP-like datagrams a second to port until stopped."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.stopped = port, threading.Event()
        self.start()

    def run(self):
        with udp_socket() as s:
            for seq in range(3000):  # a minute at most
                if self.stopped.wait(0.02):
                    return
                s.sendto(struct.pack(">HH", 0x8000, seq) + b"x" * 188, ("127.0.0.1", self.port))

    def stop(self):
        self.stopped.set()
        self.join(5)


class Browser:
    """Headless Chromium under chromedriver, one session."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tolvek_browser_")
        for _ in range(3):  # a port picked free may be taken before chromedriver binds it
            port = free_port()
            self.driver = subprocess.Popen(["/usr/bin/chromedriver", f"--port={port}"], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
            self.base = f"http://127.0.0.1:{port}"
            try:
                wait_for("chromedriver answers", self.ready, 10)
                break
            except (AssertionError, OSError):
                self.driver.kill()
                self.driver.wait()
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=900,760", f"--user-data-dir={self.dir}/profile"]
        caps = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {"binary": "/usr/bin/chromium", "args": args}}}}
        self.session = "/session/" + self.call("POST", "/session", caps)["sessionId"]

    def ready(self):
        try:
            return self.call("GET", "/status").get("ready")
        except OSError:
            return False

    def call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as r:
                return json.loads(r.read())["value"]
        except urllib.error.URLError as e:
            if hasattr(e, "read"):
                raise AssertionError(e.read().decode()) from None
            raise OSError(str(e)) from None

    def open(self, url):
        self.call("POST", self.session + "/url", {"url": url})

    def run(self, script):
        return self.call("POST", self.session + "/execute/sync", {"script": script, "args": []})

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("GET", self.session + "/screenshot")))

    def close(self):
        try:
            self.call("DELETE", self.session)
        except (AssertionError, OSError):
            pass
        self.driver.kill()
        self.driver.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Page(unittest.TestCase):
    """A repeater with a stream and two permanent clients, and its page."""

    def setUp(self):
        self.clients = [udp_socket(), udp_socket()]
        self.ports = [c.getsockname()[1] for c in self.clients]
        self.repeater = Repeater(TOLVEK, "".join(f"client 127.0.0.1:{p}\n" for p in self.ports))
        self.stream = Stream(self.repeater.in_port)
        self.exporter = Exporter(f"127.0.0.1:{self.repeater.stats_port}")
        self.browser = None

    def tearDown(self):
        self.stream.stop()
        if self.browser:
            self.browser.close()
        self.exporter.close()
        self.repeater.close()
        for c in self.clients:
            c.close()

    def test_page_shows_the_clients_the_input_the_chart_and_a_stop(self):
        # Some history first: the page opened now draws it at once.
        def flowing_history():
            r = json.loads(self.exporter.get("status.json"))["repeaters"][0]
            return len([p for p in r["history"] if p[1]]) >= 3
        wait_for("three polls of a flowing stream", flowing_history, 20)
        self.browser = Browser()
        self.browser.open(self.exporter.url)
        text = lambda: self.browser.run("return document.body.innerText")
        clients = [f"127.0.0.1:{p}" for p in self.ports]
        input_line = f"UDP port {self.repeater.in_port} from any sender"
        wait_for("both clients and the input port", lambda: all(n in text() for n in clients + [input_line]), 15)
        self.assertIn("stream flowing", text())
        # The chart: a line of datagrams a second through the history.
        paths = self.browser.run("return [...document.querySelectorAll('svg path.f')].map(p => p.getAttribute('d'))")
        self.assertEqual(len(paths), 1)
        self.assertGreaterEqual(paths[0].count("L"), 2, paths)
        # Nothing came from anywhere but the exporter.
        origins = self.browser.run("return performance.getEntriesByType('resource').map(e => new URL(e.name).origin)")
        self.assertEqual(set(origins) - {self.exporter.url.rstrip("/")}, set(), origins)
        if os.environ.get("TOLVEK_SCREENSHOT"):
            self.browser.screenshot(os.environ["TOLVEK_SCREENSHOT"])
        self.stream.stop()
        wait_for("the page tells that the stream stopped", lambda: "stream stopped: no datagram for" in text(), 12)


class Metrics(unittest.TestCase):
    """/metrics of a live repeater and of two that never answer."""

    def test_metrics_are_clean_and_a_dead_repeater_holds_up_nobody(self):
        receiver = udp_socket()
        repeater = Repeater(TOLVEK, f"client 127.0.0.1:{receiver.getsockname()[1]}\n")
        silent = [udp_socket(timeout=10), udp_socket(timeout=10)]
        names = [f"127.0.0.1:{repeater.stats_port}"] + [f"127.0.0.1:{s.getsockname()[1]}" for s in silent]
        exporter = Exporter(*names, timeout="3")
        try:
            with udp_socket() as source:
                for seq in range(5):
                    source.sendto(struct.pack(">HH", 0x8000, seq) + b"x" * 96, ("127.0.0.1", repeater.in_port))
            # The exporter's own polls go on meanwhile: the request of a
            # scrape is the last one each silent repeater gets.
            text = exporter.get("metrics")
            promtool = shutil.which("promtool")
            self.assertIsNotNone(promtool, "needs promtool (bash scripts/deps prometheus)")
            check = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True,
                                   timeout=30)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""), text)
            from prometheus_client.parser import text_string_to_metric_families
            samples = {}
            for family in text_string_to_metric_families(text):
                for s in family.samples:
                    samples[(s.name, s.labels["repeater"])] = (family.type, s.value)
            live = names[0]
            self.assertEqual(samples[("tolvek_up", live)], ("gauge", 1))
            self.assertEqual(samples[("tolvek_input_port", live)], ("gauge", repeater.in_port))
            self.assertEqual(samples[("tolvek_failovers_total", live)][0], "counter")
            self.assertEqual(samples[("tolvek_max_clients", live)], ("gauge", 32))
            self.assertLess(samples[("tolvek_last_data_age_seconds", live)][1], 60)
            self.assertAlmostEqual(samples[("tolvek_start_time_seconds", live)][1], time.time(), delta=60)
            for name in names[1:]:
                self.assertEqual(samples[("tolvek_up", name)], ("gauge", 0))
                self.assertNotIn(("tolvek_input_port", name), samples)
            # Both silent repeaters were asked at once, not one after the
            # other's 3 s: their requests came well within one timeout.
            times = []
            for s in silent:
                s.settimeout(0)
                last = None
                try:
                    while True:
                        if s.recv(100).startswith(b"get_stats"):
                            last = time.monotonic()
                except BlockingIOError:
                    pass
                times.append(last)
            self.assertLess(abs(times[0] - times[1]), 1.5, times)
            # On loopback, a request naming another host (a name a page
            # elsewhere rebound to 127.0.0.1) is refused; so is a POST.
            def status(path, method="GET", host=None):
                r = urllib.request.Request(exporter.url + path, method=method, headers={"Host": host} if host else {})
                try:
                    with urllib.request.urlopen(r, timeout=10) as reply:
                        return reply.status
                except urllib.error.HTTPError as e:
                    return e.code
            port = exporter.url.rstrip("/").rsplit(":", 1)[1]
            self.assertEqual([status("status.json", host=h) for h in (f"localhost:{port}", "attacker.example",
                                                                       f"attacker.example:{port}")], [200, 403, 403])
            self.assertEqual((status("", "POST"), status("nothing")), (405, 404))
            exporter.err.seek(0)
            log = exporter.err.read()
            for name in names[1:]:
                self.assertEqual(log.count(f"tolvek-stats: no reply from {name} within 3 s\n"), 1, log)
        finally:
            exporter.close()
            repeater.close()
            receiver.close()
            for s in silent:
                s.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])
