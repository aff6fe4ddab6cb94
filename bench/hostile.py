#!/usr/bin/env python3
"""Hostile clients against one server in console mode, and what ordinary clients see meanwhile.

Each case runs a fresh server (the Linux program, or the Windows .exe under
Wine with --wine) and prints one line of figures:

  slowheads        1,100 connections send part of a head and one byte every 5-10 s
                   (descriptor limit 1,024): when new clients are answered within 1 s
  bigheads         300 connections send a 1,000,000-byte head: the server's memory growth
  downloads        160 connections ask for nine 1 MiB packages each and never read
                   (descriptor limit 1,024): how soon a new client is answered
  listings         100 connections ask twice for the listing of a 100,000-file tree and
                   never read: memory growth, and memory once they have gone
  listingload      4 connections loop on that listing: a small-package client's rate and
                   latency, against its figures alone
  keepalive        2,000 concurrent keep-alive clients fetch a 4 KiB package five times each:
                   how many are served, and how long it takes
  closes           1,100 keep-alive connections close at once: how soon a new client is answered

Usage: bench/hostile.py [--program PATH] [--wine] [case ...]   (default: every case)
"""
import argparse
import asyncio
import collections
import os
import random
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SMALL = b"GET /packages/small.bin HTTP/1.1\r\n\r\n"


def rss_kib(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Server:
    def __init__(self, args, packages, fd_limit=None):
        self.port = free_port()
        log = os.path.join(tempfile.mkdtemp(prefix="velmora-hostile-"), "log.txt")
        path = packages if not args.wine else "Z:" + packages.replace("/", "\\")
        command = [args.program, "-debug", f"-serverport:{self.port}", f"-packagespath:{path}/",
                   f"-logfile:{log if not args.wine else 'Z:' + log.replace('/', chr(92))}"]
        if args.wine:
            command.insert(0, "wine")
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (fd_limit, fd_limit))) if fd_limit else None
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, preexec_fn=limit)
        self.log = log
        deadline = time.time() + 60
        while time.time() < deadline and probe(self.port, timeout=0.5) is None:
            time.sleep(0.1)
        self.pid = self.proc.pid if not args.wine else wine_pid(self.proc.pid)

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        # Under Wine the program runs in a process of its own beside the launcher.
        if self.pid != self.proc.pid:
            try:
                os.kill(self.pid, 9)
            except ProcessLookupError:
                pass
        shutil.rmtree(os.path.dirname(self.log), ignore_errors=True)


def wine_pid(parent):
    """The pid whose memory counts under Wine: the program's own process."""
    out = subprocess.run(["pgrep", "-f", "VelmoraService.exe"], capture_output=True, text=True).stdout.split()
    return int(out[-1]) if out else parent


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_reply(s):
    """Reads one reply; returns its body length, or None when the connection ends first."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = s.recv(65536)
        if not piece:
            return None
        data += piece
    head, body = data.split(b"\r\n\r\n", 1)
    length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0].split(b":")[1])
    while len(body) < length:
        piece = s.recv(1 << 20)
        if not piece:
            return None
        body += piece
    return length


def probe(port, request=SMALL, timeout=1.0):
    """Seconds until a new client's request is answered whole, or None within `timeout`."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.settimeout(max(0.01, timeout - (time.monotonic() - start)))
            s.sendall(request)
            if read_reply(s) is None:
                return None
    except OSError:
        return None
    return time.monotonic() - start


def raise_own_limit(count):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count)), hard))


def quiet_socket(port, receive_buffer=4096):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.connect(("127.0.0.1", port))
    return s


# --- cases -----------------------------------------------------------------

def slowheads(args, packages):
    server = Server(args, packages, fd_limit=1024)
    raise_own_limit(4096)
    clients = []
    for _ in range(1100):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", server.port))
        clients.append([s, 0.0])
    time.sleep(0.5)
    start = time.monotonic()
    for c in clients:
        try:
            c[0].send(b"GET /packages/small.bin HTTP/1.1\r\nX-Slow: ")
        except OSError:
            pass
        c[1] = start + random.uniform(5, 10)
    answered = []
    while time.monotonic() - start < args.seconds:
        now = time.monotonic()
        for c in clients:
            if now >= c[1]:
                try:
                    c[0].send(b"x")
                except OSError:
                    pass
                c[1] = now + random.uniform(5, 10)
        latency = probe(server.port)
        answered.append((now - start, latency))
        time.sleep(max(0.0, 1.0 - (time.monotonic() - now)))
    closed = sum(1 for c in clients if peer_closed(c[0]))
    server.stop()
    first = next((t for t, l in answered if l is not None), None)
    after = [l for t, l in answered if t >= 60]
    late = [l for l in after if l is not None]
    print(f"slowheads: first new client answered within 1 s at {fmt(first)} s; after 60 s {len(late)} of "
          f"{len(after)} probes answered within 1 s (max {fmt(max(late) if late else None)} s); "
          f"{closed} of 1100 slow connections closed by the server")


def peer_closed(s):
    try:
        return s.recv(1) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def bigheads(args, packages):
    server = Server(args, packages)
    base = rss_kib(server.pid)
    raise_own_limit(4096)
    clients = [quiet_socket(server.port) for _ in range(300)]
    chunk = b"GET /packages/small.bin HTTP/1.1\r\nX-Big: " + b"x" * 65536
    for s in clients:
        s.setblocking(False)
    sent = [0] * len(clients)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and any(n < 1000000 for n in sent):
        for i, s in enumerate(clients):
            if sent[i] >= 1000000:
                continue
            try:
                sent[i] += s.send(chunk[:1000000 - sent[i]])
            except BlockingIOError:
                pass
            except OSError:
                sent[i] = 1000000
    time.sleep(2)
    peak = rss_kib(server.pid, "VmHWM")
    alive = probe(server.port)
    for s in clients:
        s.close()
    server.stop()
    print(f"bigheads: RSS {base // 1024} MiB at start, peak {peak // 1024} MiB (growth {(peak - base) // 1024} MiB); "
          f"a new client answered in {fmt(alive)} s")


def downloads(args, packages):
    server = Server(args, packages, fd_limit=1024)
    raise_own_limit(4096)
    clients = []
    for _ in range(160):
        s = quiet_socket(server.port)
        s.sendall(b"GET /packages/mib.bin HTTP/1.1\r\n\r\n" * 9)
        clients.append(s)
    time.sleep(3)
    latencies = [probe(server.port) for _ in range(10)]
    fds = len(os.listdir(f"/proc/{server.pid}/fd")) if not args.wine else 0
    for s in clients:
        s.close()
    server.stop()
    answered = [l for l in latencies if l is not None]
    print(f"downloads: {len(answered)} of 10 new clients answered within 1 s (max {fmt(max(answered) if answered else None)} s); "
          f"server descriptors in use: {fds}")


def listings(args, packages):
    server = Server(args, packages)
    base = rss_kib(server.pid)
    raise_own_limit(4096)
    request = b"GET /packages/tree/ListFolderContents.asp HTTP/1.1\r\n\r\n"
    clients = []
    for _ in range(100):
        s = quiet_socket(server.port)
        s.sendall(request * 2)
        clients.append(s)
    time.sleep(20)
    peak = rss_kib(server.pid, "VmHWM")
    during = rss_kib(server.pid)
    for s in clients:
        s.close()
    time.sleep(5)
    after = rss_kib(server.pid)
    server.stop()
    print(f"listings: RSS {base // 1024} MiB at start, {during // 1024} MiB while the 100 clients hold their "
          f"listings (peak {peak // 1024} MiB, growth {(peak - base) // 1024} MiB), {after // 1024} MiB 5 s after they went")


def listingload(args, packages):
    server = Server(args, packages)

    def small_client(seconds):
        latencies = []
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                t = time.monotonic()
                s.sendall(SMALL)
                read_reply(s)
                latencies.append(time.monotonic() - t)
        return latencies

    alone = small_client(args.load_seconds)
    stop = threading.Event()

    def lister():
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            while not stop.is_set():
                s.sendall(b"GET /packages/tree/ListFolderContents.asp HTTP/1.1\r\n\r\n")
                read_reply(s)

    threads = [threading.Thread(target=lister) for _ in range(4)]
    for t in threads:
        t.start()
    time.sleep(1)
    loaded = small_client(args.load_seconds)
    stop.set()
    for t in threads:
        t.join()
    server.stop()

    def figures(lat):
        lat = sorted(lat)
        return len(lat) / args.load_seconds, lat[len(lat) // 2] * 1000, lat[int(len(lat) * 0.99)] * 1000

    a, l = figures(alone), figures(loaded)
    print(f"listingload: small package alone {a[0]:.0f}/s (p50 {a[1]:.2f} ms, p99 {a[2]:.2f} ms); while 4 "
          f"connections loop on the listing {l[0]:.0f}/s (p50 {l[1]:.2f} ms, p99 {l[2]:.2f} ms): "
          f"{l[0] / a[0]:.2f} of the rate alone")


def keepalive(args, packages):
    server = Server(args, packages)
    raise_own_limit(8192)

    async def client(results):
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", server.port)
        except OSError as e:
            results["connect failed: %s" % e.__class__.__name__] += 1
            return
        try:
            for _ in range(5):
                writer.write(SMALL)
                head = await reader.readuntil(b"\r\n\r\n")
                length = next(int(l.split(b":")[1]) for l in head.split(b"\r\n")
                              if l.lower().startswith(b"content-length:"))
                await reader.readexactly(length)
            results["served"] += 1
        except (OSError, asyncio.IncompleteReadError) as e:
            results["failed: %s" % e.__class__.__name__] += 1
        finally:
            writer.close()

    results = collections.Counter()

    async def run():
        # A server that stops answering must show as such, not hang the bench.
        try:
            await asyncio.wait_for(asyncio.gather(*(client(results) for _ in range(2000))), args.keepalive_limit)
            return True
        except asyncio.TimeoutError:
            return False

    start = time.monotonic()
    finished = asyncio.run(run())
    seconds = time.monotonic() - start
    server.stop()
    if finished:
        print(f"keepalive: 2000 clients x 5 requests: {dict(results)} in {seconds:.1f} s")
    else:
        print(f"keepalive: 2000 clients x 5 requests: NOT ALL SERVED within {args.keepalive_limit} s: {dict(results)}")


def closes(args, packages):
    server = Server(args, packages)
    raise_own_limit(4096)
    connections = []
    for _ in range(1100):
        s = socket.create_connection(("127.0.0.1", server.port))
        s.sendall(SMALL)
        read_reply(s)
        connections.append(s)
    time.sleep(2)
    for s in connections:
        s.close()
    # From another source address: a port of the closed connections, reused
    # on loopback, could meet the server's side of one still closing.
    start = time.monotonic()
    latency = None
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=120, source_address=("127.0.0.2", 0)) as s:
            s.sendall(SMALL)
            if read_reply(s) is not None:
                latency = time.monotonic() - start
    except OSError:
        pass
    server.stop()
    print(f"closes: a new client answered {fmt(latency)} s after 1100 connections closed at once")


def fmt(value):
    return "-" if value is None else f"{value:.2f}"


def make_packages(tree_files):
    root = tempfile.mkdtemp(prefix="velmora-hostile-packages-")
    with open(os.path.join(root, "small.bin"), "wb") as f:
        f.write(os.urandom(4096))
    with open(os.path.join(root, "mib.bin"), "wb") as f:
        f.write(os.urandom(1 << 20))
    per_folder = 1000
    for folder in range(tree_files // per_folder):
        path = os.path.join(root, "tree", f"folder-{folder:03d}")
        os.makedirs(path)
        for i in range(per_folder):
            open(os.path.join(path, f"package-{i:04d}.msi"), "wb").close()
    return root


CASES = {"slowheads": slowheads, "bigheads": bigheads, "downloads": downloads, "listings": listings,
         "listingload": listingload, "keepalive": keepalive, "closes": closes}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", default=os.path.join(HERE, "..", "build", "linux", "VelmoraService"))
    parser.add_argument("--wine", action="store_true", help="the program is a Windows .exe run under Wine")
    parser.add_argument("--seconds", type=int, default=75, help="length of the slow-heads case")
    parser.add_argument("--load-seconds", type=int, default=10, help="length of each listing-load measurement")
    parser.add_argument("--tree-files", type=int, default=100000)
    parser.add_argument("--keepalive-limit", type=int, default=120,
                        help="seconds the keep-alive clients may take before the case reports them unserved")
    parser.add_argument("cases", nargs="*", default=list(CASES))
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    packages = make_packages(args.tree_files)
    try:
        for case in args.cases:
            CASES[case](args, packages)
            sys.stdout.flush()
    finally:
        shutil.rmtree(packages, ignore_errors=True)


if __name__ == "__main__":
    main()
