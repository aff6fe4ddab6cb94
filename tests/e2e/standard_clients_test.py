"""End to end with the HTTP clients that administrators and their scripts use
(curl, wget, ApacheBench, aria2c and the strict HTTP/1.1 parser h11), run on
the Linux side against the program of the build under test."""
import hashlib
import json
import os
import random
import socket
import subprocess
import sys
import unittest

from velmoratest import harness

# Debian's python3-h11 is installed for the system interpreter, which need not
# be the one that runs the tests.
SYSTEM_PYTHON = "/usr/bin/python3"


def h11_session(port):
    """GET, HEAD, a range, a 404 and a request asking to close, one after the
    other on one connection, read by h11: [(status, body length)] and whether
    the server closed the connection after the last reply. A protocol error
    raises."""
    import h11

    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    conn = h11.Connection(our_role=h11.CLIENT)
    requests = [("GET", "/packages/one.bin", []), ("HEAD", "/packages/one.bin", []),
                ("GET", "/packages/one.bin", [("Range", "bytes=2-5")]), ("GET", "/packages/missing.bin", []),
                ("GET", "/packages/one.bin", [("Connection", "close")])]
    replies = []
    for method, target, fields in requests:
        sock.sendall(conn.send(h11.Request(method=method, target=target, headers=[("Host", "x")] + fields)))
        sock.sendall(conn.send(h11.EndOfMessage()))
        status, body = None, b""
        while True:
            event = conn.next_event()
            if event is h11.NEED_DATA:
                conn.receive_data(sock.recv(65536))
            elif isinstance(event, h11.Response):
                status = event.status_code
            elif isinstance(event, h11.Data):
                body += event.data
            elif isinstance(event, h11.EndOfMessage):
                break
        replies.append((status, len(body)))
        if conn.our_state is h11.DONE:
            conn.start_next_cycle()
    try:
        closed = sock.recv(1) == b""
    except socket.timeout:
        closed = False
    sock.close()
    return {"replies": replies, "closed": closed}


class StandardClientsTest(harness.ServerTest):
    one = b"one-package\x00\xff" * 100
    plus = b"plus-sign-package" * 10
    large = random.Random(33).randbytes(64 << 20)
    PACKAGES = {"one.bin": one, "plus+sign.bin": plus, "large.bin": large}

    def url(self, name):
        return f"http://127.0.0.1:{self.server.port}/packages/{name}"

    def run_client(self, command, timeout):
        """Runs a client to its end; one that hangs past `timeout` fails the test."""
        try:
            return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                                  cwd=self.root)
        except subprocess.TimeoutExpired:
            self.fail(f"{command[0]} still running after {timeout} s: {' '.join(command)}")

    def test_curl_and_wget_fetch_a_name_with_plus_and_a_name_with_a_query(self):
        out = os.path.join(self.root, "fetched")
        clients = {"curl": lambda url: ["curl", "--silent", "--show-error", "--fail", "--max-time", "60",
                                        "-o", out, url],
                   "wget": lambda url: ["wget", "--quiet", "--tries=1", "--timeout=60", "-O", out, url]}
        for client, command in clients.items():
            for name, data in [("plus+sign.bin", self.plus), ("one.bin?v=2", self.one)]:
                with self.subTest(client=client, name=name):
                    if os.path.exists(out):
                        os.remove(out)
                    done = self.run_client(command(self.url(name)), 120)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    with open(out, "rb") as f:
                        self.assertEqual(f.read(), data)

    def test_apachebench_with_and_without_keep_alive_finishes_without_failures(self):
        for options, count in [([], 200), (["-k"], 2000)]:
            with self.subTest(options=options, requests=count):
                # -s: a socket that stays silent that long ends the run with an error.
                done = self.run_client(["ab", *options, "-n", str(count), "-c", "4", "-s", "20",
                                        self.url("one.bin")], 300)
                report = done.stdout.decode()
                self.assertEqual(done.returncode, 0, report + done.stderr.decode())
                self.assertRegex(report, rf"Complete requests:\s+{count}\n")
                self.assertRegex(report, r"Failed requests:\s+0\n")
                self.assertNotIn("Non-2xx responses", report)
                self.assertRegex(report, rf"Document Length:\s+{len(self.one)} bytes")

    def test_aria2c_with_8_connections_fetches_64_mib_intact(self):
        done = self.run_client(["aria2c", "-x", "8", "-s", "8", "-k", "1M", "--max-tries=1", "--timeout=60",
                                "--summary-interval=0", "--console-log-level=warn", "--allow-overwrite=true",
                                "-d", self.root, "-o", "aria2.bin", self.url("large.bin")], 600)
        self.assertEqual(done.returncode, 0, done.stdout.decode() + done.stderr.decode())
        with open(os.path.join(self.root, "aria2.bin"), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), hashlib.sha256(self.large).hexdigest())
        # The package came in parts: aria2c asked for byte ranges beside its first request.
        parts = [m for m in self.server.log_messages() if m.startswith("206_PARTIAL_CONTENT => ")
                 and "large.bin' (bytes " in m]
        self.assertGreater(len(parts), 1)

    def test_h11_reads_five_replies_on_one_connection_and_sees_the_close(self):
        done = self.run_client([SYSTEM_PYTHON, os.path.abspath(__file__), "h11-session",
                                str(self.server.port)], 120)
        self.assertEqual(done.returncode, 0, done.stderr.decode())
        session = json.loads(done.stdout)
        size = len(self.one)
        self.assertEqual(session["replies"], [[200, size], [200, 0], [206, 4], [404, 0], [200, size]])
        self.assertTrue(session["closed"], "the connection stays open after Connection: close")


if __name__ == "__main__":
    if sys.argv[1:2] == ["h11-session"]:
        print(json.dumps(h11_session(int(sys.argv[2]))))
    else:
        unittest.main(verbosity=2)
