"""Runs the real VelmoraService program and talks HTTP to it over loopback.

The program is the Linux binary, or the Windows .exe under Wine (the
client stays on the Linux side). Set by the test runner through
VELMORA_PROGRAM and, for the Windows build, VELMORA_WINE=1.
"""
import ctypes
import os
import platform
import re
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

from . import temp_folder, write_files

PROGRAM = os.environ.get("VELMORA_PROGRAM", "")
UNDER_WINE = os.environ.get("VELMORA_WINE") == "1"
LINE_PREFIX = re.compile(r"^(.+?\d{1,2}:\d{2}:\d{2}[^:]*): (\d+): ", re.S)


def program_path_arg(path):
    """A file-system path as the program sees it (Wine maps / to Z:\\)."""
    if UNDER_WINE:
        return "Z:" + path.replace("/", "\\")
    return path


def sanitized(pid):
    """Whether the program runs with a sanitizer runtime (whose allocator keeps freed memory)."""
    try:
        with open(f"/proc/{pid}/maps") as f:
            maps = f.read()
    except OSError:
        return False
    return any(name in maps for name in ("libasan", "libtsan", "liblsan", "libubsan"))


def _no_ipv6_filter():
    """A seccomp program (x86-64) under which socket(AF_INET6, ...) fails
    with EAFNOSUPPORT and every other call is allowed."""
    def load(offset):
        return struct.pack("HBBI", 0x20, 0, 0, offset)  # BPF_LD | BPF_W | BPF_ABS

    def skip_unless(value):
        return struct.pack("HBBI", 0x15, 1, 0, value)  # BPF_JMP | BPF_JEQ | BPF_K: equal skips one

    def ret(value):
        return struct.pack("HBBI", 0x06, 0, 0, value)  # BPF_RET | BPF_K

    allow, refuse = 0x7FFF0000, 0x00050000 | 97  # SECCOMP_RET_ALLOW, SECCOMP_RET_ERRNO | EAFNOSUPPORT
    return b"".join([load(4), skip_unless(0xC000003E), ret(allow),  # arch: x86-64
                     load(0), skip_unless(41), ret(allow),  # nr: socket
                     load(16), skip_unless(socket.AF_INET6), ret(allow), ret(refuse)])  # args[0]: the family


def without_ipv6():
    """For preexec_fn: the process and everything it starts see a system
    without IPv6, where creating an IPv6 socket fails with EAFNOSUPPORT (the
    seccomp filter that systemd's RestrictAddressFamilies= installs does the
    same). Linux on x86-64 only."""
    assert platform.machine() == "x86_64", "the filter is written for x86-64"

    class Program(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_char_p)]

    code = _no_ipv6_filter()
    libc = ctypes.CDLL(None, use_errno=True)
    # PR_SET_NO_NEW_PRIVS lets an unprivileged process install a filter.
    if libc.prctl(38, 1, 0, 0, 0) != 0 or \
            libc.prctl(22, 2, ctypes.byref(Program(len(code) // 8, code)), 0, 0) != 0:  # PR_SET_SECCOMP, FILTER
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One run of the program in console mode."""

    def __init__(self, packages, port=None, log_file=None, extra=(), preexec=None, env=None):
        self.packages = packages
        self.port = port or free_port()
        self.log_file = log_file or os.path.join(tempfile.mkdtemp(prefix="velmora-e2e-log-"), "log.txt")
        self.stdout_path = self.log_file + ".console"
        args = ["-debug", f"-serverport:{self.port}",
                f"-packagespath:{program_path_arg(packages)}",
                f"-logfile:{program_path_arg(self.log_file)}", *extra]
        command = (["wine", PROGRAM] if UNDER_WINE else [PROGRAM]) + args
        env = dict(os.environ, **(env or {}))
        env.setdefault("WINEDEBUG", "-all")
        self._stdout = open(self.stdout_path, "wb")
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._stdout,
                                     stderr=subprocess.STDOUT, env=env, preexec_fn=preexec)

    # --- log -----------------------------------------------------------
    def log_text(self, path=None):
        try:
            with open(path or self.log_file, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def log_messages(self, path=None):
        """The message part of every log line (after time stamp and process id) of
        the log file, or of `path` (a log file moved away)."""
        text = self.log_text(path)
        assert text == "" or text.endswith("\r\n"), "every log line ends in CR LF"
        messages = []
        for line in text.split("\r\n")[:-1]:
            m = LINE_PREFIX.match(line)
            if m:
                messages.append(line[m.end():])
            elif messages:  # continuation of a multi-line message
                messages[-1] += "\r\n" + line
        return messages

    def wait_for_log(self, needle, count=1, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if sum(1 for m in self.log_messages() if m == needle) >= count:
                return
            if self.proc.poll() is not None:
                raise AssertionError(f"program ended ({self.proc.returncode}) before {needle!r}:\n{self.log_text()}")
            time.sleep(0.05)
        raise AssertionError(f"no {count} x {needle!r} in the log within {timeout}s:\n{self.log_text()}")

    def wait_until_listening(self):
        self.wait_for_log("CHTTPUpdateServiceThread Initialized!")

    def console_text(self):
        with open(self.stdout_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # --- stopping ------------------------------------------------------
    def interrupt(self, timeout=30):
        """Ctrl+C (SIGINT); returns the exit code."""
        self.proc.send_signal(signal.SIGINT)
        return self.wait(timeout)

    def wait(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        finally:
            self._stdout.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(30)
        self._stdout.close()


class ServerTest(unittest.TestCase):
    """Tests that share one console-mode run of the program: `root` is a
    temporary folder, `packages` the packages folder in it holding PACKAGES
    ({relative path: bytes}), `server` the program serving them. After the
    class's last test the program is ended and the folder removed."""
    PACKAGES = {}

    @classmethod
    def setUpClass(cls):
        cls.root = temp_folder(cls, "velmora-e2e-")
        cls.packages = write_files(os.path.join(cls.root, "packages"), cls.PACKAGES)
        cls.prepare()
        cls.server = Server(cls.packages)
        cls.addClassCleanup(cls.server.kill)
        cls.server.wait_until_listening()

    @classmethod
    def prepare(cls):
        """Called before the server starts, for what else the tests need in `root`."""


# --- a small HTTP client --------------------------------------------------

class Connection:
    def __init__(self, port, timeout=20, host="127.0.0.1"):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data)

    def read_exact(self, n):
        while len(self.pending) < n:
            chunk = self.sock.recv(max(65536, n - len(self.pending)))
            if not chunk:
                raise ConnectionError(f"closed after {len(self.pending)} of {n} bytes")
            self.pending += chunk
        data, self.pending = self.pending[:n], self.pending[n:]
        return data

    def read_reply(self, head=False):
        """One reply: (status line, headers dict, body) framed by Content-Length (no body for a HEAD)."""
        while b"\r\n\r\n" not in self.pending:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed inside a header: {self.pending!r}")
            self.pending += chunk
        head_bytes, self.pending = self.pending.split(b"\r\n\r\n", 1)
        lines = head_bytes.decode("latin-1").split("\r\n")
        headers = dict(line.split(": ", 1) for line in lines[1:])
        raw_head = head_bytes + b"\r\n\r\n"
        return lines[0], headers, raw_head, b"" if head else self.read_exact(int(headers["Content-Length"]))

    def request(self, line, head=False):
        self.send(line.encode("latin-1") + b"\r\nHost: x\r\n\r\n")
        status, headers, raw_head, body = self.read_reply(head or line.startswith("HEAD "))
        return status, headers, raw_head, body

    def close(self):
        self.sock.close()


def port_is_closed(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=2):
            return False
    except OSError:
        return True
