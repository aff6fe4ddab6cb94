"""End to end: the real program in console mode, a real HTTP client, real files."""
import hashlib
import json
import os
import random
import socket
import subprocess
import threading
import time
import unittest

from velmoratest import harness, temp_folder, write_files
from velmoratest.harness import Connection, Server
from velmoratest.wine import prefix_server_under

OCTET = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: {}\r\n\r\n"
NOT_FOUND = b"HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n\r\n"
IPV4_ONLY = "IPv6 is not available on this system: listening on IPv4 addresses only"


def native(path):
    """A path as the program writes it in its log lines."""
    return harness.program_path_arg(path)


class ServingTest(harness.ServerTest):
    big = bytes((i * 7 + 3) % 251 for i in range(3_000_000))
    PACKAGES = {"a.zip": b"package-a-bytes\x00\xff", "sub/b.msi": b"B" * 1000, "big.bin": big}

    def test_get_head_listing_and_not_found_with_their_log_lines(self):
        c = Connection(self.server.port)
        status, _, head, body = c.request("GET /packages/a.zip HTTP/1.1")
        self.assertEqual(head.decode(), OCTET.format(17))
        self.assertEqual(body, b"package-a-bytes\x00\xff")

        status, _, head, body = c.request("HEAD /packages/sub/b.msi HTTP/1.1")
        self.assertEqual(head.decode(), OCTET.format(0))
        self.assertEqual(body, b"")

        status, headers, head, body = c.request("GET /packages/sub/ListFolderContents.asp HTTP/1.1")
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(headers["Content-Type"], "text/html")
        self.assertEqual(body, b'<FileIndex><Folder Name="sub"><File Name="b.msi" /></Folder></FileIndex>')

        status, _, head, body = c.request("GET /index.html HTTP/1.1")
        self.assertEqual(head, NOT_FOUND)
        c.close()

        # The 404 line is written after the reply has been handed to the socket.
        self.server.wait_for_log("404_NOT_FOUND => '/index.html'")
        messages = self.server.log_messages()
        sep = "\\" if harness.UNDER_WINE else "/"
        expected = [
            "Request for: '/packages/a.zip'",
            f"200_OK => '{native(self.packages)}{sep}a.zip'",
            "Request for: '/packages/sub/b.msi'",
            f"200_OK_HEAD => '{native(self.packages)}{sep}sub{sep}b.msi'",
            "Request for: '/packages/sub/ListFolderContents.asp'",
            "Request for: '/index.html'",
            "404_NOT_FOUND => '/index.html'",
        ]
        # Each expected line appears, in this order (transfer lines come between them).
        found = [m for m in messages if m in expected]
        self.assertEqual(found[-len(expected):], expected, "\n".join(messages))
        self.assertIn(f"Transmitting file a.zip completed...", messages)
        self.assertIn("Transmitting file  completed...", messages)

    def test_keep_alive_connection_serves_many_requests_and_a_3mb_package(self):
        c = Connection(self.server.port)
        for _ in range(3):
            _, _, head, body = c.request("GET /packages/big.bin HTTP/1.1")
            self.assertEqual(head.decode(), OCTET.format(3_000_000))
            self.assertEqual(body, self.big)
            _, _, _, body = c.request("GET /packages/ListFolderContents.asp HTTP/1.1")
            self.assertTrue(body.startswith(b'<FileIndex><Folder Name="packages">'), body)
        c.close()

    def test_two_clients_at_once(self):
        results = {}

        def fetch(name):
            c = Connection(self.server.port)
            results[name] = [c.request("GET /packages/big.bin HTTP/1.1")[3] for _ in range(2)]
            c.close()

        threads = [threading.Thread(target=fetch, args=(n,)) for n in ("one", "two")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(sorted(results), ["one", "two"])
        for bodies in results.values():
            self.assertTrue(all(b == self.big for b in bodies))


class ResumeTest(harness.ServerTest):
    size = 64 << 20
    large = random.Random(64).randbytes(size)
    PACKAGES = {"large.bin": large}

    def test_download_cut_at_a_random_point_is_finished_by_curl_resume(self):
        cut = random.randrange(1, self.size)
        part = os.path.join(self.root, "large.part")
        # A client that breaks off after `cut` bytes of the package.
        c = Connection(self.server.port)
        c.send(b"GET /packages/large.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        while b"\r\n\r\n" not in c.pending:
            c.pending += c.sock.recv(65536)
        head, c.pending = c.pending.split(b"\r\n\r\n", 1)
        self.assertEqual(head.decode() + "\r\n\r\n", OCTET.format(self.size))
        with open(part, "wb") as f:
            f.write(c.read_exact(cut))
        c.close()

        url = f"http://127.0.0.1:{self.server.port}/packages/large.bin"
        result = subprocess.run(["curl", "--silent", "--show-error", "--fail", "--max-time", "300", "-C", "-",
                                 "-o", part, "-w", "%{http_code}", url],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=360)
        self.assertEqual((result.returncode, result.stdout), (0, b"206"), f"cut at {cut}: {result.stderr!r}")
        with open(part, "rb") as f:
            got = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(got, hashlib.sha256(self.large).hexdigest(), f"cut at {cut}")
        sep = "\\" if harness.UNDER_WINE else "/"
        self.server.wait_for_log(f"206_PARTIAL_CONTENT => '{native(self.packages)}{sep}large.bin' "
                                 f"(bytes {cut}-{self.size - 1}/{self.size})")


class LogFileTest(harness.ServerTest):
    """The listener appends the log lines of a pass over its connections together."""
    PACKAGES = {"a.zip": b"package-a", "sub/b.msi": b"B" * 100_000}
    LAST = "/nothing/last"

    def requests(self):
        """64 requests of every kind, ending with a 404 whose line is the last one."""
        paths = ["/packages/a.zip", "/packages/sub/b.msi", "/packages/sub/ListFolderContents.asp",
                 "/packages/" + "n" * 900, "/nothing/{}"]
        lines = ["%s %s HTTP/1.1" % ("HEAD" if i % 3 == 1 else "GET", paths[i % 5].format(i)) for i in range(63)]
        return lines + ["GET %s HTTP/1.1" % self.LAST]

    def served(self, more=1):
        """The log messages once `more` further requests for LAST have been logged."""
        last = "404_NOT_FOUND => '%s'" % self.LAST
        self.server.wait_for_log(last, count=self.seen + more)
        self.seen += more
        return self.server.log_messages()

    def setUp(self):
        self.seen = self.server.log_messages().count("404_NOT_FOUND => '%s'" % self.LAST)

    def test_64_pipelined_requests_log_the_same_lines_as_one_at_a_time(self):
        requests = self.requests()
        start = len(self.server.log_messages())
        c = Connection(self.server.port)
        for line in requests:
            c.request(line)
        one_at_a_time = self.served()[start:]
        c.send(b"".join(line.encode("latin-1") + b"\r\nHost: x\r\n\r\n" for line in requests))
        for line in requests:
            c.read_reply(head=line.startswith("HEAD "))
        c.close()
        pipelined = self.served()[start + len(one_at_a_time):]
        self.assertEqual([m for m in one_at_a_time if m.startswith("Request for: ")],
                         ["Request for: '%s'" % line.split(" ")[1] for line in requests])
        self.assertEqual(pipelined, one_at_a_time)

    def test_a_renamed_log_file_is_left_behind_and_the_next_batch_starts_a_new_one(self):
        c = Connection(self.server.port)
        c.request("GET /packages/a.zip HTTP/1.1")
        c.request("GET %s HTTP/1.1" % self.LAST)
        before = self.served()
        moved = self.server.log_file + ".1"
        os.rename(self.server.log_file, moved)
        self.seen = 0
        c.request("GET %s HTTP/1.1" % self.LAST)
        self.served()
        c.close()
        self.assertEqual(self.server.log_messages(moved), before)
        self.assertEqual(before[-3:], ["Request for: '%s'" % self.LAST, "Transmitting file  completed...",
                                       "404_NOT_FOUND => '%s'" % self.LAST])
        self.assertEqual(self.server.log_messages(), before[-3:])


class StartAndStopTest(unittest.TestCase):
    def setUp(self):
        self.root = temp_folder(self, "velmora-e2e-")
        os.makedirs(os.path.join(self.root, "packages"))

    def test_log_of_start_up_and_ctrl_c_ends_with_closing_line_and_exit_code(self):
        server = Server(os.path.join(self.root, "packages"))
        try:
            server.wait_until_listening()
            messages = server.log_messages()
            self.assertEqual(messages[0], f"Logging to: '{native(server.log_file)}'")
            self.assertEqual(messages[1], f"Initialize Listener: PackagePath='{native(server.packages)}', "
                                          f"Port='{server.port}'")
            self.assertEqual(messages[2], "CHTTPUpdateServiceThread Initialized!")
            if harness.UNDER_WINE:
                return  # Wine's console is invisible and no Ctrl+C reaches it; the port check follows the kill.
            code = server.interrupt()
            self.assertEqual(code, 255)  # -1
            console = server.console_text()
            self.assertIn("ArgsList: -serverport:1991 => Port where this service listens\n", console)
            self.assertIn("ArgsList: -serveraddress:192.168.1.10 => Address where this service listens (default: all)\n",
                          console)
            self.assertIn("ArgsList: -packagespath:\"C:\\Packages\\\" => Path where packages are stored\n", console)
            self.assertIn("ArgsList: -logfile:\"C:\\logs\\log.txt\" => Logfile location\n", console)
            self.assertIn("ArgsList: -logevents => Write events to eventviewer (service only)\n", console)
            self.assertIn("ArgsList: -metrics:off => No live figures at /metrics (default: answered to local clients)\n",
                          console)
            self.assertIn("VelmoraService is running ...\n", console)
            self.assertTrue(console.endswith("VelmoraService service is closing ...\n"), console)
            self.assertTrue(harness.port_is_closed(server.port))
        finally:
            server.kill()
        self.assertTrue(harness.port_is_closed(server.port))

    def test_port_held_by_another_process_is_retried_20_times_then_given_up(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        server = Server(os.path.join(self.root, "packages"), port=port)
        try:
            server.wait_for_log("OnSocketInitFailed: Failed too much! Aborting startup!", timeout=120)
            time.sleep(1.5)
            messages = server.log_messages()
            self.assertEqual(messages.count("OnSocketInitFailed: Seems init failed!"), 21)
            self.assertEqual(messages.count("OnSocketInitFailed: Will retry in 1 seconds ..."), 20)
            self.assertEqual(messages.count("ReInitThread: Stopping CHTTPUpdateServiceThread"), 20)
            self.assertEqual(messages.count("OnSocketInitFailed: Failed too much! Aborting startup!"), 1)
            self.assertEqual(
                messages.count("CHTTPUpdateServiceThread Initialization failed! WSAErrorCode: 10048"), 21)
            self.assertIsNone(server.proc.poll(), "the process stays up after giving up")
        finally:
            server.kill()
            holder.close()

    def test_port_that_frees_up_after_three_failures_is_served_by_the_fourth_listener(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        with open(os.path.join(self.root, "packages", "p.zip"), "wb") as f:
            f.write(b"served")
        server = Server(os.path.join(self.root, "packages"), port=port)
        try:
            server.wait_for_log("OnSocketInitFailed: Seems init failed!", count=3, timeout=60)
            holder.close()
            server.wait_until_listening()
            c = Connection(port)
            self.assertEqual(c.request("GET /packages/p.zip HTTP/1.1")[3], b"served")
            c.close()
            messages = server.log_messages()
            self.assertEqual(messages.count("OnSocketInitFailed: Seems init failed!"), 3)
            self.assertEqual(messages.count("ReInitThread: Stopping CHTTPUpdateServiceThread"), 3)
        finally:
            server.kill()
            holder.close()


class ListeningAddressTest(unittest.TestCase):
    """Every address of both families on one port by default, one address
    when told, every IPv4 address where the system has no IPv6."""

    def setUp(self):
        self.packages = write_files(os.path.join(temp_folder(self, "velmora-e2e-"), "packages"), {"p.zip": b"served"})

    def start(self, *extra, **options):
        server = Server(self.packages, extra=extra, **options)
        self.addCleanup(server.kill)
        server.wait_until_listening()
        return server

    def served_over(self, server):
        """{client address: whether the package came over it}; False when refused."""
        served = {}
        for host in ("127.0.0.1", "::1"):
            try:
                c = Connection(server.port, host=host)
            except ConnectionRefusedError:
                served[host] = False
                continue
            served[host] = c.request("GET /packages/p.zip HTTP/1.1")[3] == b"served"
            c.close()
        return served

    def without_ipv6(self):
        """Server options for a system without IPv6: the program's sockets,
        made by the Wine server under Wine, cannot be IPv6 ones."""
        if not harness.UNDER_WINE:
            return {"preexec": harness.without_ipv6}
        prefix = os.path.join(os.path.dirname(os.path.abspath(harness.PROGRAM)), "e2e-noipv6-wineprefix")
        return {"env": {"WINEPREFIX": prefix_server_under(self, prefix, harness.without_ipv6)["WINEPREFIX"]}}

    def test_which_clients_reach_the_listener(self):
        both, ipv4, ipv6 = ({"127.0.0.1": True, "::1": True}, {"127.0.0.1": True, "::1": False},
                            {"127.0.0.1": False, "::1": True})
        for name, extra, options, served in [("every address", [], {}, both),
                                             ("one IPv4 address", ["-serveraddress:127.0.0.1"], {}, ipv4),
                                             ("one IPv6 address", ["-serveraddress:[::1]"], {}, ipv6),
                                             ("no IPv6", [], self.without_ipv6(), ipv4)]:
            with self.subTest(name):
                server = self.start(*extra, **options)
                self.assertEqual(self.served_over(server), served)
                # Only the fallback says a word about addresses.
                said = [IPV4_ONLY] if name == "no IPv6" else []
                self.assertEqual(server.log_messages()[2:3 + len(said)], said + ["CHTTPUpdateServiceThread Initialized!"])
                server.kill()

    def test_a_value_that_is_no_address_is_refused_with_87(self):
        server = Server(self.packages, extra=["-serveraddress:nonsense"])
        self.addCleanup(server.kill)
        self.assertEqual(server.wait(60), 87)
        text = "Invalid parameter." if harness.UNDER_WINE else "Invalid argument"
        line = f"Cannot start: the server address 'nonsense' is not an IPv4 or IPv6 address (error 87, {text})"
        self.assertEqual(server.log_messages(), [line])
        if not harness.UNDER_WINE:
            self.assertEqual(server.console_text(), line + "\n")

    def test_an_address_the_machine_does_not_have_is_retried_like_a_taken_port(self):
        server = Server(self.packages, extra=["-serveraddress:192.0.2.1"])
        self.addCleanup(server.kill)
        server.wait_for_log("OnSocketInitFailed: Will retry in 1 seconds ...")
        self.assertIn("CHTTPUpdateServiceThread Initialization failed! WSAErrorCode: 10049", server.log_messages())


# Reads a figures page with the Prometheus client's own text-format parser
# (Debian's python3-prometheus-client, for the system's python3) and prints
# {"family type": ..., "sample{labels}": value}.
PARSE_FIGURES = r"""
import json, sys
from prometheus_client.parser import text_string_to_metric_families
out = {}
for family in text_string_to_metric_families(sys.stdin.read()):
    out[family.name + " type"] = family.type
    for s in family.samples:
        labels = ",".join(f'{k}="{v}"' for k, v in sorted(s.labels.items()))
        out[s.name + ("{" + labels + "}" if labels else "")] = s.value
print(json.dumps(out))
"""


def own_outside_address():
    """An address of this machine that is not a loopback one (that of its default route), or None."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("198.51.100.1", 9))  # no packet is sent: this only picks the route
            address = s.getsockname()[0]
    except OSError:
        return None
    return None if address.startswith("127.") or address == "0.0.0.0" else address


class FiguresTest(unittest.TestCase):
    """GET /metrics: the figures for clients on this machine's loopback, 404 for everyone else."""

    def setUp(self):
        self.packages = write_files(os.path.join(temp_folder(self, "velmora-e2e-"), "packages"), {"p.zip": b"served"})

    def start(self, *extra):
        server = Server(self.packages, extra=extra)
        self.addCleanup(server.kill)
        server.wait_until_listening()
        return server

    def test_loopback_clients_get_the_figures_in_the_prometheus_text_format(self):
        server = self.start()
        c = Connection(server.port)
        self.assertEqual(c.request("GET /packages/p.zip HTTP/1.1")[3], b"served")
        self.assertEqual(c.request("GET /index.html HTTP/1.1")[2], NOT_FOUND)
        # An IPv4 client of the dual-stack socket, then an IPv6 one.
        status, headers, _, page = c.request("GET /metrics HTTP/1.1")
        c.close()
        self.assertEqual((status, headers["Content-Type"]), ("HTTP/1.1 200 OK", "text/plain; version=0.0.4"))
        c6 = Connection(server.port, host="::1")
        status, headers, _, body = c6.request("HEAD /metrics HTTP/1.1")
        self.assertEqual((status, body), ("HTTP/1.1 200 OK", b""))
        c6.close()

        parsed = subprocess.run(["/usr/bin/python3", "-c", PARSE_FIGURES], input=page, capture_output=True,
                                timeout=60)
        self.assertEqual(parsed.returncode, 0, parsed.stderr.decode())
        figures = json.loads(parsed.stdout)
        for name, value in [('velmora_requests_total{reply="200"}', 1), ('velmora_requests_total{reply="404"}', 1),
                            ('velmora_requests_total{reply="metrics"}', 0),
                            ("velmora_connections_accepted_total", 1), ("velmora_connections_open", 1),
                            ('velmora_budget_size{budget="head_bytes"}', 64 << 20),
                            ("velmora_log_lines_dropped_total", 0)]:
            self.assertEqual(figures.get(name), value, name)
        self.assertEqual(figures["velmora_requests type"], "counter")
        self.assertEqual(figures["velmora_connections_open type"], "gauge")
        self.assertIn("velmora_uptime_seconds", figures)
        messages = server.log_messages()
        self.assertEqual(messages.count("200_OK_METRICS => '/metrics'"), 2, "\n".join(messages))
        self.assertEqual(messages.count("Request for: '/metrics'"), 2)

    def test_other_clients_and_every_client_with_metrics_off_get_the_404(self):
        outside = own_outside_address()
        for extra, host in [([], outside), (["-metrics:off"], "127.0.0.1")]:
            with self.subTest(extra=extra, host=host):
                if host is None:
                    self.skipTest("this machine has no address besides its loopback")
                server = self.start(*extra)
                c = Connection(server.port, host=host)
                self.assertEqual(c.request("GET /metrics HTTP/1.1")[2], NOT_FOUND)
                c.close()
                server.wait_for_log("404_NOT_FOUND => '/metrics'")
                server.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
