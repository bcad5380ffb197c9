"""What the Python end-to-end tests share: loopback sockets, the reply's
fragment format and the real daemon in a scratch folder."""
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def udp_socket(timeout=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(timeout)
    return s


def fragments(text):
    """A reply as the repeater sends it: 8-byte headers (total length and
    index, little-endian) before pieces of up to 1400 bytes."""
    data = text.encode() if isinstance(text, str) else text
    return [struct.pack("<II", len(data), i) + data[i * 1400:(i + 1) * 1400]
            for i in range((len(data) + 1399) // 1400)]


class Repeater:
    """The real daemon with a statistics port, in a scratch folder, killed by
    close()."""

    def __init__(self, binary, extra="", env=None):
        self.dir = tempfile.mkdtemp(prefix="tolvek_py_")
        for _ in range(3):  # a port picked free may be taken before the daemon binds it
            self.in_port, self.out_port, self.stats_port = free_port(), free_port(), free_port()
            with open(os.path.join(self.dir, "tolvek.conf"), "w") as f:
                f.write(f"input_port {self.in_port}\noutput_port {self.out_port}\n"
                        f"statistics_port {self.stats_port}\n{extra}")
            self.log = open(os.path.join(self.dir, "out"), "w+")
            self.proc = subprocess.Popen([binary, "tolvek.conf"], cwd=self.dir, stdout=self.log,
                                         stderr=subprocess.STDOUT, env=dict(os.environ, **(env or {})))
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and self.proc.poll() is None:
                with open(self.log.name) as f:
                    if "Setting up to statistics UDP port" in f.read():
                        return
                time.sleep(0.02)
            self._stop()
        text = open(self.log.name).read()
        shutil.rmtree(self.dir, ignore_errors=True)
        raise RuntimeError("the repeater did not start: " + text)

    def _stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.log.close()

    def close(self):
        self._stop()
        shutil.rmtree(self.dir, ignore_errors=True)
