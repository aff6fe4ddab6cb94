"""End to end (Linux): at the descriptor limit idle clients give way, busy ones never spin the server, and packages get 503.

The program runs with a fixed descriptor limit (soft and hard, so it cannot
raise it). Idle keep-alive connections beyond what the limit holds are
closed, longest idle first, to admit new clients; clients that are all in
the middle of a request cannot be closed, so new ones wait in the backlog,
without the server retrying its accepts at full speed, and a package that
cannot be opened for want of a descriptor is answered "try again" (503),
never "not found".
"""
import os
import resource
import socket
import sys
import time
import unittest

from velmoratest import harness, temp_folder, write_files
from velmoratest.harness import Server

OCTET = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"
REQUEST = b"GET /packages/a.bin HTTP/1.1\r\n\r\n"
UNAVAILABLE = b"HTTP/1.1 503 SERVICE UNAVAILABLE\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n\r\n"


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def limited_to(count):
    return lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (count, count))


def wait_until(condition, timeout=20):
    deadline = time.time() + timeout
    while not condition() and time.time() < deadline:
        time.sleep(0.05)
    return condition()


@unittest.skipIf(harness.UNDER_WINE or not sys.platform.startswith("linux"), "descriptor limits of a Linux process")
class DescriptorLimitTest(unittest.TestCase):
    def setUp(self):
        self.root = temp_folder(self, "velmora-fdlimit-")
        self.packages = write_files(os.path.join(self.root, "packages"), {"a.bin": b"package bytes"})
        self.clients = []
        self.server = None
        # This process holds thousands of client sockets.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))

    def tearDown(self):
        for c in self.clients:
            c.close()
        if self.server:
            self.server.kill()

    def start(self, limit):
        self.server = Server(self.packages, preexec=limited_to(limit))
        self.server.wait_until_listening()
        return self.server.proc.pid

    def get(self, s, request=REQUEST):
        """Sends `request` (or the rest of it) and tells whether the whole package came back."""
        s.sendall(request)
        want = OCTET % 13 + b"package bytes"
        got = b""
        while len(got) < len(want):
            piece = s.recv(4096)
            if not piece:
                break
            got += piece
        return got == want

    def test_idle_connections_give_way_to_new_clients(self):
        pid = self.start(1024)
        baseline = fd_count(pid)
        for _ in range(2000):
            self.clients.append(socket.create_connection(("127.0.0.1", self.server.port), timeout=20))
        self.assertTrue(wait_until(lambda: fd_count(pid) >= 900), "the server did not take the connections")
        time.sleep(0.5)

        # A new client is admitted and served at once, and its lines reach
        # the log (descriptors are kept for files).
        with socket.create_connection(("127.0.0.1", self.server.port), timeout=1) as s:
            s.settimeout(1)
            self.assertTrue(self.get(s), "a new client was not served within a second")
        self.server.wait_for_log("Request for: '/packages/a.bin'", timeout=5)

        # The ones that gave way were the longest idle: the first clients.
        for s in self.clients[:500]:
            s.settimeout(5)
            self.assertEqual(s.recv(10), b"", "an early idle client was not closed")

        for s in self.clients:
            s.close()
        self.clients = []
        self.assertTrue(wait_until(lambda: fd_count(pid) == baseline), "descriptors did not come back")

    def test_clients_in_the_middle_of_requests_fill_the_table_without_spinning_the_server(self):
        limit = 64
        pid = self.start(limit)
        if harness.sanitized(pid):
            self.skipTest("the sanitizer runtime needs descriptors of its own (its checks open pipes)")
        baseline = fd_count(pid)
        requester = socket.create_connection(("127.0.0.1", self.server.port), timeout=20)
        requester.sendall(REQUEST[:10])
        self.clients.append(requester)
        # Each sends part of a request, so none of them is idle; three can only wait in the backlog.
        for _ in range(limit - baseline + 2):
            s = socket.create_connection(("127.0.0.1", self.server.port), timeout=20)
            s.sendall(REQUEST[:10])
            self.clients.append(s)
        self.assertTrue(wait_until(lambda: fd_count(pid) == limit), "the descriptor table did not fill up")

        # At the limit the server waits (a spinning listener burns a whole second of CPU here).
        before = cpu_ticks(pid)
        time.sleep(1.5)
        burnt = cpu_ticks(pid) - before
        self.assertLess(burnt, 30, f"the server spun at the descriptor limit ({burnt} ticks in 1.5 s)")

        # A package cannot be opened now: "try again", not "not found".
        requester.sendall(REQUEST[10:])
        self.assertEqual(requester.recv(4096), UNAVAILABLE)

        # Some clients leave: the ones that waited are accepted and served.
        for s in self.clients[1:6]:
            s.close()
        for s in self.clients[-3:]:
            s.settimeout(20)
            self.assertTrue(self.get(s, REQUEST[10:]), "a client that waited at the limit was not served")

        for s in self.clients:
            s.close()
        self.clients = []
        self.assertTrue(wait_until(lambda: fd_count(pid) == baseline), "descriptors did not come back")


if __name__ == "__main__":
    unittest.main()
