"""The test service under a systemd-style service manager: this test owns the
notify socket, reads every notify message, sends SIGTERM as systemd does to
stop a service (SIGINT stops it too; SIGHUP is ignored), and checks the exit
status and the service's own log.

VELMORA_TEST_SERVICE names the TestService program (set by ctest).
"""
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

PROGRAM = os.environ.get("VELMORA_TEST_SERVICE", "")
TIMEOUT = 30


class NotifiedService:
    """One run of the test service with a notify socket of our own."""

    def __init__(self, test, address, bind_name, args=()):
        self.test = test
        self.dir = tempfile.mkdtemp(prefix="velmora-notify-")
        self.log = os.path.join(self.dir, "service.log")
        self.gate = os.path.join(self.dir, "gate")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(bind_name)
        self.sock.settimeout(TIMEOUT)
        env = dict(os.environ, NOTIFY_SOCKET=address)
        self.proc = subprocess.Popen([PROGRAM, "--log", self.log, "--gate", self.gate, *args],
                                     stdin=subprocess.DEVNULL, env=env)

    def message(self):
        data = self.sock.recv(4096)
        return data.decode("utf-8")

    def expect(self, *messages):
        for expected in messages:
            self.test.assertEqual(self.message(), expected)

    def open_gate(self):
        open(self.gate, "w").close()

    def log_lines(self):
        try:
            with open(self.log, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_log(self, line):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if line in self.log_lines():
                return
            time.sleep(0.02)
        self.test.fail(f"no {line!r} in the service log: {self.log_lines()}")

    def wait(self):
        return self.proc.wait(TIMEOUT)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(TIMEOUT)
        self.sock.close()


STARTING = ["STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=5000000",
            "STATUS=Starting, checkpoint 2\nEXTEND_TIMEOUT_USEC=4000000",
            "READY=1\nSTATUS=Running"]
# OnStop's report; the same status again after the control (HandleControl) is not sent.
STOPPING = ["STOPPING=1\nSTATUS=Stopping, checkpoint 1\nEXTEND_TIMEOUT_USEC=3000000"]


class SystemdNotifyTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(PROGRAM, "VELMORA_TEST_SERVICE is not set")
        self.services = []

    def tearDown(self):
        for service in self.services:
            service.close()

    def start(self, address, bind_name, args=()):
        service = NotifiedService(self, address, bind_name, args)
        self.services.append(service)
        return service

    def test_path_socket_states_sighup_ignored_stop_by_sigint_and_failure_exit_status(self):
        path = os.path.join(tempfile.mkdtemp(prefix="velmora-notify-sock-"), "notify")
        service = self.start(path, path, ["--exit", "1066", "7"])
        service.expect(STARTING[0])
        service.open_gate()
        service.expect(*STARTING[1:])
        service.wait_for_log("reporting running")

        # A SIGHUP that ended the service would leave no stop report and no exit status of its own.
        service.proc.send_signal(signal.SIGHUP)
        service.proc.send_signal(signal.SIGINT)
        service.expect(*STOPPING)
        service.expect("STATUS=Stopped, Win32 exit code 1066, service-specific exit code 7")
        # A non-zero Win32 exit code makes the process fail (1066 modulo 256).
        self.assertEqual(service.wait(), 1066 % 256)
        lines = service.log_lines()
        self.assertIn("ServiceMain argc=1 argv0=VelmoraTestService thread=other", lines)
        self.assertIn("control 1 thread=dispatcher", lines)
        self.assertIn("control 1 result=0", lines)
        self.assertIn("StartCtrlDispatcher failed, error 1066", lines)

    def test_abstract_socket_holds_an_early_stop_until_running(self):
        name = f"velmora-notify-{os.getpid()}-{time.monotonic_ns()}"
        service = self.start("@" + name, "\0" + name)
        service.expect(STARTING[0])
        # SIGTERM while the service is still starting: systemd's stop waits
        # until the service accepts a stop, as the SCM refuses it until then.
        service.proc.send_signal(signal.SIGTERM)
        service.open_gate()
        service.expect(*STARTING[1:])
        service.expect(*STOPPING)
        service.expect("STATUS=Stopped")
        self.assertEqual(service.wait(), 0)
        lines = service.log_lines()
        self.assertEqual([l for l in lines if l.startswith("control ")],
                         ["control 1 thread=dispatcher", "control 1 result=0"])
        self.assertLess(lines.index("reporting running"), lines.index("control 1 thread=dispatcher"))
        self.assertIn("StartCtrlDispatcher returned", lines)

    def run_by_hand(self, env):
        log = os.path.join(tempfile.mkdtemp(prefix="velmora-notify-"), "service.log")
        result = subprocess.run([PROGRAM, "--log", log], stdin=subprocess.DEVNULL, env=env, timeout=TIMEOUT)
        with open(log, encoding="utf-8") as f:
            return result.returncode, f.read().splitlines()

    def test_started_by_hand_the_dispatcher_fails_with_1063(self):
        env = {k: v for k, v in os.environ.items() if k != "NOTIFY_SOCKET"}
        code, lines = self.run_by_hand(env)
        self.assertEqual(code, 1063 % 256)
        self.assertEqual(lines, ["StartCtrlDispatcher", "StartCtrlDispatcher failed, error 1063"])
        # A notify socket that nobody owns, or an address that is not a socket's,
        # is no service manager either.
        for address in ("/nonexistent/velmora/notify", "relative/notify", "@"):
            code, lines = self.run_by_hand(dict(env, NOTIFY_SOCKET=address))
            self.assertEqual(code, 1063 % 256, address)
            self.assertEqual(lines[-1], "StartCtrlDispatcher failed, error 1063")


if __name__ == "__main__":
    unittest.main()
