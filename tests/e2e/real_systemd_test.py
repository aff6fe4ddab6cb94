"""The Linux program as a systemd service under a real systemd, booted in
private namespaces (velmoratest/systemd.py), used as an administrator would:
-install (a service unit and the socket unit that listens for it), the unit's
security score, -start and a download with curl over IPv4 and IPv6, restarts
while 20 clients download (none refused or cut), a crash and the restart, a
hung service replaced by systemd's watchdog (a client that comes meanwhile
waits and is served), -stop (no client answered until -start), a port held
by another process, -uninstall, and the journal lines of it all under the
service's identifier.
"""
import hashlib
import json
import os
import re
import time
import unittest

from velmoratest import harness, systemd

UNIT = "HarbrookVelmoraService.service"
SOCKET_UNIT = "HarbrookVelmoraService.socket"
IDENTIFIER = "HarbrookVelmoraService"
PROGRAM = "/usr/local/sbin/VelmoraService"
PACKAGES = "/srv/velmora-test/packages/"
LOG = "/var/log/velmora/velmora.log"
PORT = 80  # below 1024: the unit's capabilities must still let it bind
PACKAGE = os.urandom(300 * 1024)
WATCHDOG_SECONDS = 30  # the unit's WatchdogSec=
RESTART_SECONDS = 5  # the unit's RestartSec=

UNAVAILABLE = "the Windows build has no systemd units" if harness.UNDER_WINE else systemd.unavailable()


def is_sanitizer_build(path):
    with open(path, "rb") as f:
        return b"__asan_init" in f.read()


@unittest.skipIf(UNAVAILABLE, UNAVAILABLE)
class RealSystemdTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.machine = systemd.SystemdMachine(time_limit=500)
        try:
            m = cls.machine
            m.copy_in(harness.PROGRAM, PROGRAM)
            m.run("sh", "-c", 'mkdir -p "$1" "$(dirname "$2")" && cat > "$1/a.zip"', "sh", PACKAGES, LOG,
                  input=PACKAGE)
            if is_sanitizer_build(harness.PROGRAM):
                # The leak check at exit stops the process's threads with ptrace, which the unit's
                # system call filter refuses; the other sanitizer suites check leaks.
                m.run("systemctl", "set-environment", "ASAN_OPTIONS=detect_leaks=0")
        except BaseException:
            cls.machine.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()
        leftovers = cls.machine.leftovers()
        if leftovers:
            raise AssertionError(f"the systemd machine left {leftovers}")

    # --- helpers ---------------------------------------------------------
    def verb(self, *args):
        return self.machine.run(PROGRAM, *args, check=False, timeout=120)

    def show(self, *properties):
        out = self.machine.run("systemctl", "show", "--property=" + ",".join(properties), UNIT).stdout
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def wait_for(self, what, condition, timeout=60):
        deadline = time.monotonic() + timeout
        while not (value := condition()):
            if time.monotonic() > deadline:
                self.fail(f"no {what} within {timeout} s: {self.status()}")
            time.sleep(0.1)
        return value

    def status(self):
        return self.machine.run("systemctl", "status", "--no-pager", "--lines=30", UNIT, check=False).stdout

    def fetch(self):
        result = self.machine.run("curl", "--silent", "--show-error", "--fail", "--max-time", "30",
                                  f"http://127.0.0.1:{PORT}/packages/a.zip", check=False)
        self.assertEqual(result.returncode, 0, result.stderr + self.status())
        return result

    def download_is_the_package(self, host="127.0.0.1"):
        got = self.machine.run("sh", "-c", f"curl -sS --fail http://{host}:{PORT}/packages/a.zip | sha256sum")
        self.assertEqual(got.stdout.split()[0], hashlib.sha256(PACKAGE).hexdigest())

    def journal(self, *args):
        """The journal entries (JSON) that match `args`, after journald has taken in what was sent."""
        self.machine.run("journalctl", "--sync", check=False)
        out = self.machine.run("journalctl", "--no-pager", "-o", "json", *args, check=False).stdout
        return [json.loads(line) for line in out.splitlines() if line.strip()]

    def identified_messages(self):
        return [entry.get("MESSAGE") for entry in self.journal("-t", IDENTIFIER)]

    def log_messages(self):
        text = self.machine.run("cat", LOG).stdout
        return [harness.LINE_PREFIX.sub("", line) for line in text.split("\r\n") if line]

    # --- the test --------------------------------------------------------
    def test_the_service_under_systemd(self):
        self.install_and_rate()
        self.start_and_serve()
        self.restarts_refuse_no_client()
        self.crash_and_restart()
        self.hang_and_restart()
        self.stop()
        self.port_held_by_another_process()
        self.uninstall()
        self.journal_identity()

    def install_and_rate(self):
        result = self.verb("-install", f"-serverport:{PORT}", f"-packagespath:{PACKAGES}", f"-logfile:{LOG}",
                           "-logevents")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.machine.run("systemctl", "is-enabled", UNIT).stdout.strip(), "enabled")
        # systemd listens for the service, on one socket for both families, with the system's longest backlog.
        somaxconn = int(self.machine.run("cat", "/proc/sys/net/core/somaxconn").stdout)
        socket_unit = self.machine.run("cat", f"/etc/systemd/system/{SOCKET_UNIT}").stdout
        for line in (f"ListenStream={PORT}", "BindIPv6Only=both", f"Backlog={max(somaxconn, 4096)}"):
            self.assertIn(line + "\n", socket_unit)
        service_unit = self.machine.run("cat", f"/etc/systemd/system/{UNIT}").stdout
        for line in (f"Requires={SOCKET_UNIT}", f"After={SOCKET_UNIT}", "CapabilityBoundingSet="):
            self.assertIn(line + "\n", service_unit)
        self.assertEqual(self.show("LoadState", "FragmentPath"),
                         {"LoadState": "loaded", "FragmentPath": f"/etc/systemd/system/{UNIT}"})
        # systemd's own reading of the unit finds nothing to complain about.
        verify = self.machine.run("systemd-analyze", "verify", UNIT, check=False)
        self.assertEqual(verify.stderr.strip(), "", verify.stderr)
        report = self.machine.run("systemd-analyze", "security", "--no-pager", UNIT, check=False).stdout
        score = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", report)
        self.assertIsNotNone(score, report)
        print(f"systemd-analyze security: {score.group(1)}")
        # Not above the score of the unit that bound its port itself (1.8).
        self.assertLessEqual(float(score.group(1)), 1.8, report)

    def start_and_serve(self):
        result = self.verb("-start")
        self.assertEqual(result.returncode, 0, result.stderr + self.status())
        self.assertEqual(self.show("ActiveState", "SubState"), {"ActiveState": "active", "SubState": "running"})
        # Ready means serving: the first request right after -start is answered.
        self.download_is_the_package()
        # One socket for both families (the sandbox allows IPv6): ss shows its address as "*".
        listening = self.machine.run("ss", "-ltnH", f"sport = :{PORT}").stdout.split()
        self.assertEqual(listening[3:4], [f"*:{PORT}"], listening)
        self.download_is_the_package("[::1]")

    def restarts_refuse_no_client(self):
        load = systemd.FetchLoop(self.machine, PORT, "/packages/a.zip", PACKAGE, clients=20)
        try:
            for _ in range(5):
                before = self.show("MainPID")["MainPID"]
                self.machine.run("systemctl", "restart", UNIT)
                self.assertNotIn(self.show("MainPID")["MainPID"], ("0", before))
                # The new process serves for a while; systemd also refuses a sixth start within 10 s.
                time.sleep(2.5)
        finally:
            result = load.stop()
        self.assertEqual(result["failures"], [])
        print(f"{result['answered']} downloads across 5 restarts")
        self.assertGreater(result["answered"], 0)
        # The socket stayed with systemd all along.
        self.assertEqual(self.machine.run("systemctl", "is-active", SOCKET_UNIT).stdout.strip(), "active")

    def crash_and_restart(self):
        before = self.show("MainPID", "NRestarts")
        self.machine.run("kill", "-KILL", before["MainPID"])

        def restarted():
            state = self.show("ActiveState", "MainPID", "NRestarts")
            return state["ActiveState"] == "active" and state["MainPID"] not in ("0", before["MainPID"]) and state

        after = self.wait_for("restart after the crash", restarted)
        self.assertEqual(int(after["NRestarts"]), int(before["NRestarts"]) + 1)
        self.download_is_the_package()

    def hang_and_restart(self):
        before = self.show("MainPID", "NRestarts", "WatchdogUSec", "WatchdogTimestampMonotonic")
        self.assertEqual(before["WatchdogUSec"], f"{WATCHDOG_SECONDS}s")
        # A working service pings systemd's watchdog (systemd stamps each WATCHDOG=1)...
        self.wait_for("watchdog ping", lambda: self.show("WatchdogTimestampMonotonic")["WatchdogTimestampMonotonic"]
                      != before["WatchdogTimestampMonotonic"])
        # ...and a frozen one does not: systemd kills it and starts a new one.
        self.machine.run("kill", "-STOP", before["MainPID"])
        # A client that comes meanwhile waits in the socket's backlog for the new process.
        waiting = self.machine.popen("curl", "--silent", "--show-error", "--fail", "--max-time", "300", "--output",
                                     "/dev/null", "--write-out", "%{size_download}", f"http://127.0.0.1:{PORT}/packages/a.zip")

        def replaced():
            state = self.show("ActiveState", "MainPID", "NRestarts")
            return state["ActiveState"] == "active" and state["MainPID"] not in ("0", before["MainPID"]) and state

        # The bound leaves room for a loaded machine; how soon it happens is not judged here.
        after = self.wait_for("new process after the hang", replaced, timeout=3 * (WATCHDOG_SECONDS + RESTART_SECONDS))
        self.assertEqual(int(after["NRestarts"]), int(before["NRestarts"]) + 1)
        out, err = waiting.communicate(timeout=300)
        self.assertEqual((waiting.returncode, out), (0, str(len(PACKAGE))), err)
        self.download_is_the_package()
        systemd_lines = [e.get("MESSAGE") for e in self.journal("-u", UNIT) if e.get("_PID") == "1"]
        self.assertIn(f"{UNIT}: Watchdog timeout (limit {WATCHDOG_SECONDS}s)!", systemd_lines)
        self.assertIn(f"{UNIT}: Failed with result 'watchdog'.", systemd_lines)

    def stop(self):
        result = self.verb("-stop")
        self.assertEqual(result.returncode, 0, result.stderr + self.status())
        self.assertEqual(self.show("ActiveState", "Result", "ExecMainCode", "ExecMainStatus"),
                         {"ActiveState": "inactive", "Result": "success", "ExecMainCode": "1",
                          "ExecMainStatus": "0"})
        # Stopped means stopped: the socket went with the service, so no client is answered (or
        # starts the service again) until -start.
        self.assertEqual(self.machine.run("systemctl", "is-active", SOCKET_UNIT, check=False).stdout.strip(),
                         "inactive")
        refused = self.machine.run("curl", "--silent", "--max-time", "5", f"http://127.0.0.1:{PORT}/packages/a.zip",
                                   check=False)
        self.assertEqual(refused.returncode, 7, refused.stdout)  # could not connect
        self.assertEqual(self.show("ActiveState")["ActiveState"], "inactive")

    def port_held_by_another_process(self):
        self.machine.run("systemd-run", "--unit=velmora-port-holder", "--property=Type=exec", "python3", "-c",
                         "import socket, time\n"
                         f"s = socket.create_server(('0.0.0.0', {PORT}))\n"
                         "time.sleep(3600)")
        self.wait_for("port holder", lambda: self.machine.run("curl", "-s", f"http://127.0.0.1:{PORT}/",
                                                              "--max-time", "1", check=False).returncode != 7)
        before = self.show("NRestarts", "ExecMainStartTimestampMonotonic")
        start = self.verb("-start", "-t:60000")
        print(f"-start with the port taken: exit code {start.returncode}: {start.stderr.strip()}")
        # The socket unit cannot listen: the failure is systemd's, shown by systemctl status, and the
        # service never ran.
        self.assertNotEqual(start.returncode, 0, start.stdout)
        self.assertEqual(self.machine.run("systemctl", "is-active", SOCKET_UNIT, check=False).stdout.strip(), "failed")
        status = self.machine.run("systemctl", "status", "--no-pager", SOCKET_UNIT, check=False).stdout
        self.assertIn("Address already in use", status)
        self.assertEqual(self.show("ActiveState", "NRestarts", "ExecMainStartTimestampMonotonic"),
                         {"ActiveState": "inactive", **before})
        self.machine.run("systemctl", "stop", "velmora-port-holder")

    def uninstall(self):
        self.assertEqual(self.verb("-start").returncode, 0, self.status())
        self.fetch()
        result = self.verb("-uninstall")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.show("LoadState", "ActiveState"), {"LoadState": "not-found", "ActiveState": "inactive"})
        for unit in (UNIT, SOCKET_UNIT):
            self.assertNotEqual(self.machine.run("test", "-e", f"/etc/systemd/system/{unit}", check=False).returncode, 0)
        self.assertEqual(self.machine.run("systemctl", "show", "--property=LoadState,ActiveState", SOCKET_UNIT).stdout,
                         "LoadState=not-found\nActiveState=inactive\n")

    def journal_identity(self):
        # Every line of the log file reaches the journal, under the identifier, as written
        # (journald reads syslog datagrams in its own time: the last ones may still be on their way).
        deadline = time.monotonic() + 30
        while True:
            entries = self.journal("-t", IDENTIFIER)
            messages = {e.get("MESSAGE") for e in entries}
            missing = [m for m in self.log_messages() if m + "." not in messages]
            if not missing or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual(missing, [])
        self.assertEqual({e.get("SYSLOG_IDENTIFIER") for e in entries}, {IDENTIFIER})
        for text in ('"Harbrook Velmora Service" started successfully.', "Request for: '/packages/a.zip'.",
                     '"Harbrook Velmora Service" stopped successfully.'):
            self.assertIn(text, messages)
        # Nothing the service process wrote carries another identifier.
        own = [e for e in self.journal(f"_SYSTEMD_UNIT={UNIT}") if e.get("_PID") != "1"]
        self.assertEqual({e.get("SYSLOG_IDENTIFIER") for e in own}, {IDENTIFIER})


if __name__ == "__main__":
    unittest.main()
