"""End to end (Linux): clients that use up the server's descriptors neither spin it nor lock others out for good.

The program runs with a small descriptor limit; clients connect until it is
reached. While every accept would fail, the server must wait instead of
retrying at full speed (it used to spin on the listening socket). Once some
clients leave, the clients that waited in the backlog are accepted and
served, and afterwards the descriptors are back to where they started.
"""
import os
import resource
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import Server  # noqa: E402

LIMIT = 64
OCTET = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


@unittest.skipIf(harness.UNDER_WINE or not sys.platform.startswith("linux"), "descriptor limits of a Linux process")
class DescriptorLimitTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="velmora-fdlimit-")
        self.packages = os.path.join(self.root, "packages")
        os.makedirs(self.packages)
        with open(os.path.join(self.packages, "a.bin"), "wb") as f:
            f.write(b"package bytes")
        # The program inherits the limit; this process gets its own back at once.
        saved = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (LIMIT, saved[1]))
        try:
            self.server = Server(self.packages)
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, saved)
        self.server.wait_until_listening()
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        self.server.kill()
        shutil.rmtree(self.root, ignore_errors=True)

    def get(self, s):
        s.sendall(b"GET /packages/a.bin HTTP/1.1\r\n\r\n")
        want = OCTET % 13 + b"package bytes"
        got = b""
        while len(got) < len(want):
            piece = s.recv(4096)
            if not piece:
                break
            got += piece
        return got == want

    def test_server_waits_at_the_limit_and_serves_the_waiting_clients_when_descriptors_free_up(self):
        pid = self.server.proc.pid
        baseline = fd_count(pid)
        # Enough to fill the table, plus three that can only wait in the backlog.
        for _ in range(LIMIT - baseline + 3):
            s = socket.create_connection(("127.0.0.1", self.server.port), timeout=20)
            self.clients.append(s)
        deadline = time.time() + 20
        while fd_count(pid) < LIMIT and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(fd_count(pid), LIMIT, "the descriptor table did not fill up")

        # At the limit: the server waits (a spinning listener burns a whole second of CPU here).
        before = cpu_ticks(pid)
        time.sleep(1.5)
        burnt = cpu_ticks(pid) - before
        self.assertLess(burnt, 30, f"the server spun at the descriptor limit ({burnt} ticks in 1.5 s)")

        # Some clients leave: the ones that waited are accepted and served.
        for s in self.clients[:5]:
            s.close()
        waiting = self.clients[-3:]
        for s in waiting:
            s.settimeout(20)
            self.assertTrue(self.get(s), "a client that waited at the limit was not served")

        for s in self.clients:
            s.close()
        self.clients = []
        deadline = time.time() + 20
        while fd_count(pid) > baseline and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(fd_count(pid), baseline)
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=20) as s:
            self.assertTrue(self.get(s))


if __name__ == "__main__":
    unittest.main()
