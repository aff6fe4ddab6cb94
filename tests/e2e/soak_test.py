"""Soak and fault test: the real program in console mode under load and hostile clients.

Hundreds of clients download packages and check every byte while others
drop mid-transfer (orderly and with a reset), read slowly, send nothing,
send a mebibyte of garbage, send binary junk and overlong request lines,
half-close, pipeline requests, and pipeline requests they never read. Afterwards the server still answers byte for byte, no package on
disk has changed, and (Linux builds) its open descriptors are back to where
they started and its resident memory is back near its baseline.

Every loop is bounded in count and in time; everything is on loopback. The
figures of a run are printed at the end (and kept in soak_figures.txt next
to the log). The Windows build runs the same mix under Wine; descriptors and
memory are counted on Linux only. VELMORA_SOAK_SCALE scales the client counts.
"""
import hashlib
import os
import random
import socket
import struct
import threading
import time
import unittest

from velmoratest import harness

OCTET = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"
NOT_FOUND = b"HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n\r\n"

SCALE = float(os.environ.get("VELMORA_SOAK_SCALE", "1"))
DEADLINE_SECONDS = 150          # the whole load phase, whatever happens
SOCKET_TIMEOUT = 60             # any single blocking socket call
MEMORY_SLACK = 48 << 20         # resident memory allowed above the baseline afterwards


def scaled(n):
    return max(2, int(n * SCALE))


def package_bytes(size, seed):
    rnd = random.Random(seed)
    return rnd.randbytes(size)


def proc_fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def proc_rss(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class Figures:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.bytes_served = 0
        self.failures = []

    def add(self, kind, received=0):
        with self.lock:
            self.counts[kind] = self.counts.get(kind, 0) + 1
            self.bytes_served += received

    def fail(self, text):
        with self.lock:
            if len(self.failures) < 20:
                self.failures.append(text)


def connect(port, receive_buffer=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if receive_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    s.settimeout(SOCKET_TIMEOUT)
    s.connect(("127.0.0.1", port))
    return s


def recv_exact(s, n, deadline):
    parts, have = [], 0
    while have < n:
        if time.time() > deadline:
            raise TimeoutError(f"{have} of {n} bytes by the deadline")
        chunk = s.recv(min(1 << 20, n - have))
        if not chunk:
            raise ConnectionError(f"closed after {have} of {n} bytes")
        parts.append(chunk)
        have += len(chunk)
    return b"".join(parts)


def recv_until_closed(s, deadline, limit=64 << 20):
    parts, have = [], 0
    while time.time() < deadline and have < limit:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        parts.append(chunk)
        have += len(chunk)
    return b"".join(parts)


def reset_close(s):
    """Close with a reset (SO_LINGER 0) instead of an orderly close."""
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


def hold_then_close(s, rnd, until):
    """Keeps `s` open until `until`, then closes it, half the time with a reset."""
    while time.time() < until:
        time.sleep(0.1)
    if rnd.random() < 0.5:
        reset_close(s)
    else:
        s.close()


class SoakTest(harness.ServerTest):
    PACKAGES = files = {
        "tiny.txt": package_bytes(100, 1),
        "small.zip": package_bytes(20_000, 2),
        "sub/medium.msi": package_bytes(400_000, 3),
        "chunk.bin": package_bytes(1 << 20, 4),
        "large.bin": package_bytes(5_000_000, 5),
    }
    digests = {name: hashlib.sha256(d).hexdigest() for name, d in files.items()}

    # --- the client kinds -------------------------------------------------
    def download(self, port, figures, rnd, deadline, barrier):
        """A keep-alive client fetching a few packages and checking every byte.

        All of them connect first and start together, so a few hundred
        connections are open and transferring at the same time."""
        s = connect(port)
        try:
            try:
                barrier.wait(max(1, min(30, deadline - time.time())))
            except threading.BrokenBarrierError:
                pass
            for _ in range(rnd.randint(2, 6)):
                name = rnd.choice(list(self.files))
                data = self.files[name]
                s.sendall(f"GET /packages/{name} HTTP/1.1\r\nHost: soak\r\n\r\n".encode())
                head = OCTET % len(data)
                got = recv_exact(s, len(head) + len(data), deadline)
                if got[:len(head)] != head or got[len(head):] != data:
                    figures.fail(f"download of {name}: wrong bytes")
                    return
                figures.add("download", len(got))
        finally:
            s.close()

    def drop_mid_transfer(self, port, figures, rnd, deadline):
        s = connect(port, receive_buffer=rnd.choice([None, 8192]))
        s.sendall(b"GET /packages/large.bin HTTP/1.1\r\n\r\n")
        got = recv_exact(s, rnd.randint(1, 2_000_000), deadline)
        if rnd.random() < 0.5:
            reset_close(s)
        else:
            s.close()
        figures.add("drop", len(got))

    def slow_reader(self, port, figures, rnd, deadline):
        s = connect(port, receive_buffer=4096)
        try:
            s.sendall(b"GET /packages/sub/medium.msi HTTP/1.1\r\n\r\n")
            data = self.files["sub/medium.msi"]
            expected = OCTET % len(data) + data
            got = b""
            while len(got) < len(expected) and time.time() < deadline:
                piece = s.recv(4096)
                if not piece:
                    break
                got += piece
                time.sleep(0.005)
            if got != expected:
                figures.fail(f"slow reader: {len(got)} bytes, not the package")
            figures.add("slow", len(got))
        finally:
            s.close()

    def silent(self, port, figures, rnd, deadline, hold_until):
        s = connect(port)
        hold_then_close(s, rnd, min(hold_until, deadline))
        figures.add("silent")

    def garbage(self, port, figures, rnd, deadline):
        """A mebibyte of random bytes, drained while it is sent, then a half-close."""
        s = connect(port)
        received = []
        reader = threading.Thread(target=lambda: received.append(recv_until_closed(s, deadline)))
        reader.start()
        try:
            s.sendall(rnd.randbytes(1 << 20))
            s.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        reader.join(max(1, deadline - time.time()))
        s.close()
        figures.add("garbage", sum(len(r) for r in received))

    def junk_and_overlong(self, port, figures, rnd, deadline):
        s = connect(port)
        try:
            kind = rnd.randrange(4)
            head_too_long = False
            if kind == 0:    # an overlong path: refused, answered 404; past 64 KiB of head, then the close
                request = b"GET /packages/" + b"A" * rnd.randint(300, 200_000) + b" HTTP/1.1\r\n\r\n"
                head_too_long = len(request) > 65536
                s.sendall(request)
            elif kind == 1:  # an overlong path of dot-dot segments
                s.sendall(b"GET /packages/" + b"../" * rnd.randint(100, 20_000) + b"etc/passwd HTTP/1.1\r\n\r\n")
            elif kind == 2:  # encoded junk in the path
                junk = "".join(f"%{b:02x}" for b in rnd.randbytes(rnd.randint(1, 3000)))
                s.sendall(f"GET /packages/{junk} HTTP/1.1\r\n\r\n".encode())
            else:            # binary junk that starts with a word
                s.sendall(b"X" + bytes(b for b in rnd.randbytes(5000) if b not in (0, 10, 13, 32)) + b"\r\n\r\n")
            # However many reads it takes, one request gets one reply.
            got = recv_exact(s, len(NOT_FOUND), deadline)
            s.settimeout(0.3)
            try:
                got += s.recv(65536)
            except socket.timeout:
                pass
            s.settimeout(SOCKET_TIMEOUT)
            if got != NOT_FOUND:
                figures.fail(f"junk request kind {kind}: {got[:80]!r}")
            if head_too_long:
                if recv_until_closed(s, deadline) != b"":
                    figures.fail("bytes after the reply to an overlong head")
                figures.add("junk", len(got))
                return
            # The connection is still usable afterwards.
            s.sendall(b"GET /packages/tiny.txt HTTP/1.1\r\n\r\n")
            data = self.files["tiny.txt"]
            if recv_exact(s, len(OCTET % len(data)) + len(data), deadline) != OCTET % len(data) + data:
                figures.fail("no normal reply after a junk request")
            figures.add("junk", len(got))
        finally:
            s.close()

    def half_close(self, port, figures, rnd, deadline):
        """Request, then end the sending direction at once: the whole reply arrives, then the close."""
        s = connect(port, receive_buffer=rnd.choice([None, 8192]))
        name = rnd.choice(["tiny.txt", "small.zip", "large.bin"])
        data = self.files[name]
        s.sendall(f"GET /packages/{name} HTTP/1.1\r\n\r\n".encode())
        s.shutdown(socket.SHUT_WR)
        got = recv_until_closed(s, deadline)
        s.close()
        if got != OCTET % len(data) + data:
            figures.fail(f"half-close of {name}: {len(got)} bytes, not the whole reply")
        figures.add("halfclose", len(got))

    def pipeline(self, port, figures, rnd, deadline):
        """Several requests in one write: every reply, in order."""
        s = connect(port)
        try:
            names = [rnd.choice(["tiny.txt", "small.zip", "sub/medium.msi", "missing.bin"])
                     for _ in range(rnd.randint(2, 40))]
            s.sendall(b"".join(f"GET /packages/{n} HTTP/1.1\r\n\r\n".encode() for n in names))
            received = 0
            for name in names:
                data = self.files.get(name)
                expected = OCTET % len(data) + data if data is not None else NOT_FOUND
                if recv_exact(s, len(expected), deadline) != expected:
                    figures.fail(f"pipelined reply for {name}: wrong bytes")
                    return
                received += len(expected)
            figures.add("pipeline", received)
        finally:
            s.close()

    def never_reads(self, port, figures, rnd, deadline, hold_until):
        """Thousands of requests for a mebibyte each, never read; then gone."""
        s = connect(port, receive_buffer=8192)
        try:
            s.sendall(b"GET /packages/chunk.bin HTTP/1.1\r\n\r\n" * rnd.randint(500, 4000))
        except OSError:
            pass
        hold_then_close(s, rnd, min(hold_until, deadline))
        figures.add("neverreads")

    # --- the run ----------------------------------------------------------
    def run_client(self, kind, seed, figures, deadline, **extra):
        rnd = random.Random(seed)
        try:
            getattr(self, kind)(self.server.port, figures, rnd, deadline, **extra)
        except (OSError, TimeoutError, ConnectionError) as error:
            # Only the clients that drop or reset on purpose may see errors.
            if kind in ("download", "slow_reader", "junk_and_overlong", "half_close", "pipeline"):
                figures.fail(f"{kind} #{seed}: {error!r}")
            else:
                figures.add(kind + "-error")

    def answers_byte_for_byte(self):
        s = connect(self.server.port)
        try:
            for name, data in self.files.items():
                s.sendall(f"GET /packages/{name} HTTP/1.1\r\n\r\n".encode())
                head = OCTET % len(data)
                got = recv_exact(s, len(head) + len(data), time.time() + 60)
                self.assertEqual(got[:len(head)], head, name)
                self.assertTrue(got[len(head):] == data, f"{name}: the bytes differ")
            s.sendall(b"GET /packages/missing.bin HTTP/1.1\r\n\r\n")
            self.assertEqual(recv_exact(s, len(NOT_FOUND), time.time() + 30), NOT_FOUND)
        finally:
            s.close()

    def test_load_faults_and_hostile_clients_leave_the_server_as_it_was(self):
        pid = self.server.proc.pid
        linux = not harness.UNDER_WINE and os.path.isdir(f"/proc/{pid}")
        self.answers_byte_for_byte()  # warm-up: every path the run takes has been taken once
        time.sleep(0.5)
        fds_before = proc_fd_count(pid) if linux else None
        rss_before = proc_rss(pid) if linux else None

        figures = Figures()
        start = time.time()
        deadline = start + DEADLINE_SECONDS
        downloads = scaled(300)
        barrier = threading.Barrier(downloads)
        plan = ([("download", {"barrier": barrier})] * downloads + [("drop_mid_transfer", {})] * scaled(60)
                + [("slow_reader", {})] * scaled(10)
                + [("silent", {"hold_until": start + 8})] * scaled(40)
                + [("garbage", {})] * scaled(6) + [("junk_and_overlong", {})] * scaled(40)
                + [("half_close", {})] * scaled(30) + [("pipeline", {})] * scaled(30)
                + [("never_reads", {"hold_until": start + 8})] * scaled(10))
        random.Random(7).shuffle(plan)
        # Clients start in waves, so a few hundred are connected at once.
        threads = []
        peak_fds = fds_before or 0
        peak_rss = rss_before or 0
        for seed, (kind, extra) in enumerate(plan):
            t = threading.Thread(target=self.run_client, args=(kind, seed, figures, deadline), kwargs=extra,
                                 daemon=True)
            t.start()
            threads.append(t)
            if seed % 50 == 49:
                time.sleep(0.2)
                if linux:
                    peak_fds = max(peak_fds, proc_fd_count(pid))
                    peak_rss = max(peak_rss, proc_rss(pid))
        while any(t.is_alive() for t in threads) and time.time() < deadline + 5:
            if linux:
                peak_fds = max(peak_fds, proc_fd_count(pid))
                peak_rss = max(peak_rss, proc_rss(pid))
            time.sleep(0.2)
        stragglers = sum(1 for t in threads if t.is_alive())
        load_seconds = time.time() - start
        self.assertIsNone(self.server.proc.poll(), "the server ended during the run")
        self.assertEqual(stragglers, 0, "clients still running at the deadline (a hang?)")
        self.assertEqual(figures.failures, [])
        barrier.abort()

        # Every connection is gone: the descriptors come back (the server
        # learns of the last closes within moments).
        fds_after = rss_after = None
        if linux:
            settle = time.time() + 30
            while proc_fd_count(pid) > fds_before and time.time() < settle:
                time.sleep(0.1)
            fds_after = proc_fd_count(pid)
        self.answers_byte_for_byte()
        for name, digest in self.digests.items():
            with open(os.path.join(self.packages, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest, f"{name} changed on disk")
        if linux:
            time.sleep(0.5)
            rss_after = proc_rss(pid)

        measured = (f"descriptors {fds_before} -> peak {peak_fds} -> {fds_after}; "
                    f"resident memory {rss_before} -> peak {peak_rss} -> {rss_after} bytes"
                    if linux else "descriptors and memory not measured under Wine")
        text = (f"soak: {len(plan)} clients ({', '.join(f'{k} {v}' for k, v in sorted(figures.counts.items()))}), "
                f"{figures.bytes_served} bytes received in {load_seconds:.1f} s; {measured}")
        print(text)
        with open(os.path.join(os.path.dirname(self.server.log_file), "soak_figures.txt"), "w") as f:
            f.write(text + "\n")
        if linux:
            self.assertEqual(fds_after, fds_before, "descriptors leaked")
            if not harness.sanitized(pid):
                self.assertLess(rss_after, rss_before + MEMORY_SLACK, "resident memory stayed up")


if __name__ == "__main__":
    unittest.main()
