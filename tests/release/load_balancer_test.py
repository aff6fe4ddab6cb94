"""Two instances serving one packages folder behind HAProxy, all on loopback:
200 slow downloads in flight, one instance stopped (SIGTERM to the console-mode
program) in the middle. Downloads that started on the survivor all complete,
those on the stopped one come whole or cut (a stop gives them 10 s to finish,
never other bytes), the health check marks the stopped one down, and new requests are served by
the survivor. Which instance served a download is read from its log file.
HAProxy also terminates TLS in front of the same instances, with a
certificate made by openssl for the run: curl fetches a package over HTTPS,
and resumes a download cut at a random point."""
import asyncio
import hashlib
import http.client
import os
import random
import signal
import socket
import subprocess
import time
import unittest

from velmoratest import temp_folder, write_files
from velmoratest.harness import Server, free_port

DOWNLOADS = 200
SIZE = 4 << 20
RATE = 512 << 10  # bytes per second and download: each lasts about 8 s
CONFIG = """
global
    maxconn 1000
    stats socket {dir}/stats.sock mode 600 level admin
    # Small socket buffers, so that a download's bytes stay in the instance
    # until the client reads them.
    tune.rcvbuf.server 65536
    tune.sndbuf.client 65536
defaults
    mode http
    timeout connect 2s
    timeout client 60s
    timeout server 60s
    retries 3
    option redispatch
frontend packages
    bind 127.0.0.1:{port}
    # The instances answer /metrics to local clients, and HAProxy is one.
    http-request deny deny_status 404 if {{ path /metrics }}
    default_backend velmora
frontend packages-tls
    bind 127.0.0.1:{tls_port} ssl crt {dir}/site.pem
    http-request deny deny_status 404 if {{ path /metrics }}
    default_backend velmora
backend velmora
    balance roundrobin
    option httpchk GET /packages/health.txt
    http-check expect status 200
    # A busy instance may answer a check late; a stopped one refuses at once.
    timeout check 5s
    default-server inter 300ms fall 2 rise 1
    server a 127.0.0.1:{a} check
    server b 127.0.0.1:{b} check
"""


def content():
    block = hashlib.sha256(b"velmora").digest() * 2048
    return (block * (SIZE // len(block) + 1))[:SIZE]


class LoadBalancerTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder(self, "velmora-lb-")
        packages = write_files(os.path.join(self.dir, "packages"), {"health.txt": b"ok", "big.bin": content()})
        big = os.path.join(packages, "big.bin")
        # One file under many names: each download's request line names it apart in the logs.
        for i in range(DOWNLOADS):
            os.link(big, os.path.join(packages, f"dl-{i:03}.bin"))
            if i < 20:
                os.link(os.path.join(packages, "health.txt"), os.path.join(packages, f"new-{i:02}.txt"))
        self.servers = {name: Server(packages, log_file=os.path.join(self.dir, f"{name}.log")) for name in "ab"}
        for server in self.servers.values():
            server.wait_until_listening()
        self.port, self.tls_port = free_port(), free_port()
        self.make_certificate()
        with open(os.path.join(self.dir, "haproxy.cfg"), "w") as f:
            f.write(CONFIG.format(dir=self.dir, port=self.port, tls_port=self.tls_port, a=self.servers["a"].port,
                                  b=self.servers["b"].port))
        with open(os.path.join(self.dir, "haproxy.err"), "wb") as err:
            self.haproxy = subprocess.Popen(["haproxy", "-db", "-f", os.path.join(self.dir, "haproxy.cfg")],
                                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)

    def make_certificate(self):
        """A self-signed certificate for 127.0.0.1 (cert.pem, which clients
        trust) and HAProxy's file of it with its key (site.pem)."""
        cert, key = os.path.join(self.dir, "cert.pem"), os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", cert], check=True, capture_output=True, timeout=60)
        with open(os.path.join(self.dir, "site.pem"), "wb") as site:
            for part in (cert, key):
                with open(part, "rb") as f:
                    site.write(f.read())

    def https_download(self, path, out, *curl_options):
        """curl's download of /packages/`path` over HTTPS through HAProxy into
        `out`, trusting the run's certificate only: its completed process."""
        return subprocess.run(["curl", "--silent", "--show-error", "--fail", "--cacert",
                               os.path.join(self.dir, "cert.pem"), "-o", out, *curl_options,
                               f"https://127.0.0.1:{self.tls_port}/packages/{path}"],
                              capture_output=True, timeout=120)

    def tearDown(self):
        self.haproxy.terminate()
        self.haproxy.wait(30)
        for server in self.servers.values():
            server.kill()

    def status(self):
        """The health state HAProxy shows for each instance ("UP", "DOWN", ...)."""
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(os.path.join(self.dir, "stats.sock"))
                s.sendall(b"show stat\n")
                text = b"".join(iter(lambda: s.recv(65536), b"")).decode()
        except (FileNotFoundError, ConnectionRefusedError):
            return {}
        lines = text.strip().splitlines()
        header = lines[0].lstrip("# ").split(",")
        rows = [dict(zip(header, line.split(","))) for line in lines[1:]]
        return {r["svname"]: r["status"].split()[0] for r in rows if r["svname"] in ("a", "b")}

    def wait_status(self, wanted):
        deadline = time.time() + 60
        while self.status() != wanted:
            self.assertLess(time.time(), deadline, f"HAProxy shows {self.status()}, not {wanted}")
            time.sleep(0.1)

    def served_by(self, path, wait=0.0):
        """The instances whose log names the request; waits up to `wait` seconds for one (a listener
        writes its lines at the end of its pass, which may come just after the reply has left)."""
        line = f"Request for: '/packages/{path}'"
        deadline = time.monotonic() + wait
        while True:
            names = [name for name, s in self.servers.items() if line in s.log_messages()]
            if names or time.monotonic() >= deadline:
                return names
            time.sleep(0.05)

    def test_stopping_one_instance_mid_run(self):
        self.wait_status({"a": "UP", "b": "UP"})
        progress, results = [0] * DOWNLOADS, [None] * DOWNLOADS
        all_started, stopped = asyncio.Event(), {}

        async def download(i):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32768)
            s.setblocking(False)
            await asyncio.get_running_loop().sock_connect(s, ("127.0.0.1", self.port))
            reader, writer = await asyncio.open_connection(sock=s)
            writer.write(f"GET /packages/dl-{i:03}.bin HTTP/1.1\r\nHost: lb\r\n\r\n".encode())
            head = await reader.readuntil(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
            digest = hashlib.sha256()
            while progress[i] < SIZE:
                chunk = await reader.read(min(32768, SIZE - progress[i]))
                if not chunk:
                    break
                digest.update(chunk)
                progress[i] += len(chunk)
                if not all_started.is_set() and all(progress):
                    all_started.set()
                await asyncio.sleep(len(chunk) / RATE)
            writer.close()
            results[i] = (progress[i], digest.digest())

        async def stop_b_when_all_in_flight():
            await all_started.wait()
            stopped["progress"] = list(progress)
            self.servers["b"].proc.send_signal(signal.SIGTERM)
            stopped["exit"] = await asyncio.to_thread(self.servers["b"].wait, 60)
            await asyncio.to_thread(self.wait_status, {"a": "UP", "b": "DOWN"})

        async def run():
            await asyncio.gather(stop_b_when_all_in_flight(), *(download(i) for i in range(DOWNLOADS)))

        asyncio.run(run())

        self.assertEqual(stopped["exit"], 255)
        self.assertTrue(all(0 < p < SIZE for p in stopped["progress"]), "every download in flight at the stop")
        by = {i: self.served_by(f"dl-{i:03}.bin") for i in range(DOWNLOADS)}
        self.assertTrue(all(len(names) == 1 for names in by.values()), by)
        on_a = [i for i in by if by[i] == ["a"]]
        on_b = [i for i in by if by[i] == ["b"]]
        self.assertTrue(on_a and on_b, "round robin gave both instances downloads")
        whole = (SIZE, hashlib.sha256(content()).digest())
        self.assertEqual([i for i in on_a if results[i] != whole], [], "downloads on the survivor completed")
        # The stop lets the downloads in flight finish for a while, then cuts the rest: whole or short, never wrong.
        cut = [i for i in on_b if results[i][0] < SIZE]
        self.assertEqual([i for i in on_b if i not in cut and results[i] != whole], [])
        print(f"survivor: {len(on_a)} downloads, all complete; stopped instance: {len(on_b)} downloads, "
              f"{len(cut)} cut short, {len(on_b) - len(cut)} complete")

        # New requests after the health check marked the stopped instance down.
        for i in range(20):
            c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
            c.request("GET", f"/packages/new-{i:02}.txt")
            reply = c.getresponse()
            self.assertEqual((reply.status, reply.read()), (200, b"ok"))
            c.close()
            self.assertEqual(self.served_by(f"new-{i:02}.txt", wait=5), ["a"])

    def test_the_figures_are_denied_through_haproxy_and_answered_to_local_clients(self):
        self.wait_status({"a": "UP", "b": "UP"})
        for url in (f"http://127.0.0.1:{self.port}/metrics", f"http://127.0.0.1:{self.servers['a'].port}/metrics"):
            result = subprocess.run(["curl", "--silent", "-o", os.devnull, "-w", "%{http_code}", url],
                                    capture_output=True, timeout=60)
            self.assertEqual(result.stdout, b"404" if f":{self.port}/" in url else b"200", url)
        self.assertEqual(sum("Request for: '/metrics'" in s.log_messages() for s in self.servers.values()), 1,
                         "only the request made to an instance itself reaches one")

    def test_a_package_over_https_through_haproxy(self):
        self.wait_status({"a": "UP", "b": "UP"})
        out = os.path.join(self.dir, "over-tls.bin")
        result = self.https_download("dl-000.bin", out)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(out, "rb") as f:
            self.assertTrue(f.read() == content(), "the package byte for byte")
        self.assertEqual(len(self.served_by("dl-000.bin")), 1)

    def test_a_download_cut_short_is_resumed_over_https(self):
        self.wait_status({"a": "UP", "b": "UP"})
        out = os.path.join(self.dir, "resumed.bin")
        cut = random.randrange(1, SIZE)
        # The first `cut` bytes, as a download that broke off there left them.
        first = self.https_download("dl-001.bin", out, "-r", f"0-{cut - 1}")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertEqual(os.path.getsize(out), cut)
        rest = self.https_download("dl-001.bin", out, "-C", "-", "-w", "%{http_code}")
        self.assertEqual((rest.returncode, rest.stdout), (0, b"206"), f"cut at {cut}: {rest.stderr!r}")
        with open(out, "rb") as f:
            got = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(got, hashlib.sha256(content()).hexdigest(), f"cut at {cut}")


if __name__ == "__main__":
    unittest.main()
