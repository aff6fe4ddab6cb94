"""End to end: a package can be replaced on disk right after a client dropped its download.

While a download runs, the server holds the package open (on Windows with
deny-write sharing, so no other program can write it). Once the client
drops the connection the file must be closed at once: the administrator's
replacement succeeds immediately and the next download serves the new bytes.

Linux: the server's descriptors (/proc/<pid>/fd) show the file open and then
closed; the replacement rewrites the file in place. Windows (under Wine):
the replacement is a copy by a Windows program, which the deny-write
sharing refuses while the download runs; that proves the same thing.
"""
import os
import random
import socket
import subprocess
import time
import unittest

from velmoratest import harness, write_files

OCTET = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n"
AT_ONCE_SECONDS = 5  # far below anything but an immediate close (the stall rule takes six minutes)


def open_by(pid, path):
    """Whether process `pid` holds `path` open (Linux)."""
    real = os.path.realpath(path)
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == real:
                return True
        except OSError:
            pass
    return False


def windows_copy(source, target):
    """Copies with a Windows program under Wine; True when the copy succeeded."""
    command = ["wine", "cmd", "/c", "copy", "/y", harness.program_path_arg(source), harness.program_path_arg(target)]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            timeout=60, env=dict(os.environ, WINEDEBUG="-all"))
    with open(source, "rb") as wanted, open(target, "rb") as f:
        return result.returncode == 0 and f.read() == wanted.read()


class PackageReplacementTest(harness.ServerTest):
    old = random.Random(1).randbytes(16 << 20)
    new = random.Random(2).randbytes(3_000_000)
    PACKAGES = {"setup.bin": old}

    @classmethod
    def prepare(cls):
        cls.path = os.path.join(cls.packages, "setup.bin")
        cls.new_source = os.path.join(write_files(cls.root, {"setup-new.bin": cls.new}), "setup-new.bin")

    def start_download(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8192)
        s.settimeout(30)
        s.connect(("127.0.0.1", self.server.port))
        s.sendall(b"GET /packages/setup.bin HTTP/1.1\r\n\r\n")
        got = b""
        while len(got) < 200_000:
            piece = s.recv(65536)
            self.assertTrue(piece, "the download ended early")
            got += piece
        self.assertTrue(got.startswith(OCTET % len(self.old) + self.old[:1000]))
        return s

    def replace(self):
        """Replaces the package; True when it worked (at the first try that the platform allows)."""
        if harness.UNDER_WINE:
            return windows_copy(self.new_source, self.path)
        with open(self.path, "r+b") as f:  # in place, as a Windows program would have to
            f.truncate(0)
            f.write(self.new)
        return True

    def test_package_replaced_right_after_a_client_dropped_its_download(self):
        pid = self.server.proc.pid
        for how in ("close", "reset"):
            with self.subTest(how=how):
                s = self.start_download()
                # The package is held open while the download runs.
                if harness.UNDER_WINE:
                    self.assertFalse(windows_copy(self.new_source, self.path),
                                     "a Windows program could write the package during its download")
                else:
                    self.assertTrue(open_by(pid, self.path))

                if how == "reset":
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
                s.close()
                dropped = time.time()
                if not harness.UNDER_WINE:
                    while open_by(pid, self.path) and time.time() - dropped < AT_ONCE_SECONDS:
                        time.sleep(0.01)
                    self.assertFalse(open_by(pid, self.path), "the package stayed open after the client left")
                replaced = self.replace()
                while not replaced and time.time() - dropped < AT_ONCE_SECONDS:
                    time.sleep(0.2)
                    replaced = self.replace()
                self.assertTrue(replaced, "the package could not be replaced after the client left")

                # The next download serves the new package, byte for byte.
                c = harness.Connection(self.server.port, timeout=30)
                c.send(b"GET /packages/setup.bin HTTP/1.1\r\n\r\n")
                _, headers, head, body = c.read_reply()
                c.close()
                self.assertEqual(head, OCTET % len(self.new))
                self.assertTrue(body == self.new, "the replaced package was not served as it is on disk")

                with open(self.path, "wb") as f:  # the old package again for the next round
                    f.write(self.old)


if __name__ == "__main__":
    unittest.main()
