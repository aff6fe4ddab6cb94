"""End to end: the real program on its service-host path (Linux build).

The program is started the way systemd starts a Type=notify service: the
registered command line, NOTIFY_SOCKET pointing at a datagram socket this
test owns, SIGTERM to stop it. Its syslog copies go to a socket of the test
(VELMORA_SYSLOG_SOCKET). Also: the foreground mode, the help verb, and a run
by hand outside any service manager.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import Connection  # noqa: E402

DISPLAY_NAME = "Harbrook Velmora Service"
USAGE = "VelmoraService [-uninstall | -start | -stop | -help | -? ]\n"


def datagram_socket(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind(path)
    s.settimeout(30)
    return s


def end(proc):
    if proc.poll() is None:
        proc.kill()
        proc.wait()
    for stream in (proc.stdout, proc.stderr):
        if stream:
            stream.close()


def wait_for_port(port, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if not harness.port_is_closed(port):
            return
        time.sleep(0.05)
    raise AssertionError(f"nothing listens on {port}")


@unittest.skipIf(harness.UNDER_WINE, "systemd's notify protocol and syslog are the Linux build's service manager")
class SystemdStyleServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="velmora-service-")
        self.packages = os.path.join(self.dir, "packages")
        os.makedirs(self.packages)
        with open(os.path.join(self.packages, "a.zip"), "wb") as f:
            f.write(b"service-served")
        self.log = os.path.join(self.dir, "log.txt")
        self.notify = datagram_socket(os.path.join(self.dir, "notify"))
        self.syslog = datagram_socket(os.path.join(self.dir, "syslog"))
        self.port = harness.free_port()

    def tearDown(self):
        self.notify.close()
        self.syslog.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start(self, *extra):
        env = dict(os.environ, NOTIFY_SOCKET=os.path.join(self.dir, "notify"),
                   VELMORA_SYSLOG_SOCKET=os.path.join(self.dir, "syslog"))
        # The command line an install registers as ExecStart=.
        return subprocess.Popen([harness.PROGRAM, f"-serverport:{self.port}", f"-packagespath:{self.packages}",
                                 f"-logfile:{self.log}", *extra],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

    def notifications_until(self, last):
        seen = []
        while not seen or seen[-1] != last:
            seen.append(self.notify.recv(4096).decode())
        return seen

    def syslog_lines(self, until):
        lines = []
        while not lines or until not in lines[-1]:
            lines.append(self.syslog.recv(65536).decode())
        return lines

    def test_ready_serving_events_and_sigterm_stop(self):
        proc = self.start("-logevents")
        try:
            starting = self.notifications_until("READY=1\nSTATUS=Running")
            self.assertEqual(starting[0], "STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=1000000")
            wait_for_port(self.port)
            c = Connection(self.port)
            self.assertEqual(c.request("GET /packages/a.zip HTTP/1.1")[3], b"service-served")
            c.close()

            prefix = f"<30>{DISPLAY_NAME}[{proc.pid}]: "
            lines = self.syslog_lines(until="Transmitting file a.zip completed...")
            self.assertEqual(lines[0], prefix + f'"{DISPLAY_NAME}" started successfully.')
            self.assertIn(prefix + f"Logging to: '{self.log}'.", lines)
            self.assertIn(prefix + "Request for: '/packages/a.zip'.", lines)
            self.assertIn(prefix + f"200_OK => '{self.packages}/a.zip'.", lines)

            proc.send_signal(signal.SIGTERM)
            self.assertEqual(self.notify.recv(4096).decode(), "STOPPING=1\nSTATUS=Stopping, checkpoint 1\n"
                                                              "EXTEND_TIMEOUT_USEC=1100000")
            self.assertEqual(proc.wait(60), 0)
            self.assertEqual(self.notifications_until("STATUS=Stopped")[-1], "STATUS=Stopped")
            stopped = self.syslog_lines(until="stopped")
            self.assertEqual(stopped[-1], prefix + f'"{DISPLAY_NAME}" stopped successfully.')
            self.assertEqual(proc.stdout.read(), b"")
            self.assertTrue(harness.port_is_closed(self.port))
        finally:
            end(proc)

    def test_without_logevents_only_start_and_stop_reach_syslog(self):
        proc = self.start()
        try:
            self.notifications_until("READY=1\nSTATUS=Running")
            wait_for_port(self.port)
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(60), 0)
            lines = self.syslog_lines(until="stopped")
            self.assertEqual(len(lines), 2, lines)
        finally:
            end(proc)


@unittest.skipIf(harness.UNDER_WINE, "the Windows verbs are tested under Wine's service control manager")
class CommandLineVerbsTest(unittest.TestCase):
    def run_program(self, *args, env=None):
        environment = dict(os.environ)
        environment.pop("NOTIFY_SOCKET", None)
        environment.update(env or {})
        return subprocess.run([harness.PROGRAM, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              env=environment, timeout=60)

    def test_help_prints_the_usage_text_and_exits_with_zero(self):
        for verb in ("-help", "/?", "-HELP"):
            result = self.run_program(verb)
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stdout.decode(), USAGE)
            self.assertEqual(result.stderr, b"")

    def test_run_by_hand_fails_to_reach_the_service_manager_silently(self):
        result = self.run_program("-serverport:1")
        self.assertEqual(result.returncode, 1063 % 256)
        self.assertEqual(result.stdout + result.stderr, b"")

    def test_foreground_mode_serves_and_stops_on_ctrl_c(self):
        root = tempfile.mkdtemp(prefix="velmora-foreground-")
        try:
            with open(os.path.join(root, "p.zip"), "wb") as f:
                f.write(b"foreground")
            port = harness.free_port()
            log = os.path.join(root, "log.txt")
            proc = subprocess.Popen([harness.PROGRAM, "/console", f"-serverport:{port}", f"-packagespath:{root}",
                                     f"-logfile:{log}"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            try:
                wait_for_port(port)
                c = Connection(port)
                self.assertEqual(c.request("GET /packages/p.zip HTTP/1.1")[3], b"foreground")
                c.close()
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.wait(60), 0)
                # The service owns the application: nothing is echoed to a console.
                self.assertEqual(proc.stdout.read(), b"")
                with open(log, "rb") as f:
                    self.assertIn(b"Request for: '/packages/p.zip'\r\n", f.read())
            finally:
                end(proc)
        finally:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
