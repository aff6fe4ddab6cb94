"""Install, uninstall and control of the installed service on POSIX, where
systemd is the service manager. No systemd runs on the test machines, so
systemctl is the test double systemctl_double.py (VELMORA_SYSTEMCTL), the
unit folder and systemd's runtime folder are folders of the test
(VELMORA_SYSTEMD_UNIT_DIR, VELMORA_SYSTEMD_RUNTIME_DIR), the registry is the
test's (VELMORA_REGISTRY_ROOT), and events arrive on a syslog socket of the
test (VELMORA_SYSLOG_SOCKET). The program under test is ServiceInstallProbe,
built on CNTService. The checks: the unit file an install writes, the
systemctl commands each operation runs, the state mapping, the refused pause
and continue, the Win32 codes and messages of failures, and the clean failure
when systemd is not running.

VELMORA_INSTALL_PROBE names the probe program (set by ctest).
"""
import json
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import unittest

PROBE = os.environ.get("VELMORA_INSTALL_PROBE", "")
DOUBLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "systemctl_double.py")
NAME = "VelmoraProbe"
UNIT = NAME + ".service"
SOCKET = NAME + ".socket"  # the socket unit that listens for the service (the probe's command line names no port: 80)
SHOW = f"show --property=Id,ActiveState,SubState,Result,ExecMainStatus,StatusText,Job {UNIT}"
START, PAUSE, CONTINUE, STOP = "0", "1", "2", "3"
HEADER = "# Written by the service installer. [X-VelmoraService] keeps the registration as given.\n"


class SystemdInstallTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(PROBE, "VELMORA_INSTALL_PROBE")
        self.dir = tempfile.mkdtemp(prefix="velmora-systemd-install-")
        self.units = os.path.join(self.dir, "units")
        self.runtime = os.path.join(self.dir, "run-systemd-system")
        self.double_dir = os.path.join(self.dir, "double")
        for folder in (self.units, self.runtime, self.double_dir):
            os.makedirs(folder)
        systemctl = os.path.join(self.dir, "systemctl")
        with open(systemctl, "w") as f:
            f.write(f"#!/bin/sh\nexec '{sys.executable}' '{DOUBLE}' \"$@\"\n")
        os.chmod(systemctl, stat.S_IRWXU)
        self.syslog_path = os.path.join(self.dir, "syslog")
        self.syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.syslog.bind(self.syslog_path)
        self.syslog.setblocking(False)
        self.env = dict(os.environ, VELMORA_SYSTEMCTL=systemctl, VELMORA_SYSTEMD_UNIT_DIR=self.units,
                        VELMORA_SYSTEMD_RUNTIME_DIR=self.runtime, VELMORA_SYSTEMCTL_DOUBLE_DIR=self.double_dir,
                        VELMORA_REGISTRY_ROOT=os.path.join(self.dir, "registry"),
                        VELMORA_SYSLOG_SOCKET=self.syslog_path)

    def tearDown(self):
        self.syslog.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # -- helpers ---------------------------------------------------------------

    def probe(self, *args, program=None):
        result = subprocess.run([program or PROBE, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env, timeout=60)
        self.assertEqual(result.stderr, b"")
        return result.stdout.decode("utf-8").splitlines()

    def calls(self):
        """The systemctl calls since the last look."""
        path = os.path.join(self.double_dir, "calls.log")
        try:
            with open(path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        os.remove(path)
        return lines

    def set_state(self, **settings):
        path = os.path.join(self.double_dir, "state.json")
        state = {}
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                state = json.load(f)
        state.update(settings)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(state, f)

    def set_unit_state(self, active, exit_status="0", **properties):
        self.set_state(units={UNIT: {"ActiveState": active, "ExecMainStatus": exit_status, **properties}})

    def unit_text(self, name=UNIT):
        with open(os.path.join(self.units, name), encoding="utf-8") as f:
            return f.read()

    def events(self):
        lines = []
        while True:
            try:
                lines.append(self.syslog.recv(65536).decode("utf-8"))
            except BlockingIOError:
                return lines

    def install(self, *options, name=NAME, display="Velmora Probe"):
        lines = self.probe("install", name, display, *options)
        self.calls()
        self.events()
        return lines

    # -- install ---------------------------------------------------------------

    def test_install_writes_the_unit_reloads_and_registers_the_event_source(self):
        lines = self.probe("install", NAME, "Velmora Probe", "--description", "Hands out packages.",
                           "--user", "velmora")
        self.assertEqual(lines, ["result=1 error=0 message=",
                                 f"user=[] password=[] messagefile=[{PROBE}.DLL]"])
        unit = self.unit_text()
        # Restart, journal identifier and sandbox settings follow User=; the unit writer's own tests check them.
        self.assertTrue(unit.startswith(HEADER + "[Unit]\nDescription=Velmora Probe\n"
                                        "After=network.target remote-fs.target\n"
                                        f"Requires={SOCKET}\nAfter={SOCKET}\n\n"
                                        f"[Service]\nType=notify\nExecStart={PROBE} run {NAME}\nUser=velmora\n"),
                        unit)
        self.assertIn("\nSyslogIdentifier=VelmoraProbe\n", unit)
        self.assertTrue(unit.endswith("\n\n"
                                      f"[X-VelmoraService]\nServiceName={NAME}\nDisplayName=Velmora Probe\n"
                                      "Description=Hands out packages.\n"
                                      f"CommandLine={PROBE} run {NAME}\nServiceType=16\nStartType=3\nErrorControl=0\n"
                                      "Account=velmora\n"), unit)
        self.assertEqual(os.stat(os.path.join(self.units, UNIT)).st_mode & 0o777, 0o644)
        # The unit is written once, description included, and loaded with one reload: the file that
        # reload saw is the one that stays.
        self.assertEqual(self.calls(), ["daemon-reload"])
        with open(os.path.join(self.double_dir, "reloads.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f), [{UNIT: [os.stat(os.path.join(self.units, UNIT)).st_ino, unit]}])
        self.assertEqual(sorted(os.listdir(self.units)), [UNIT, SOCKET])
        with open(os.path.join(self.units, SOCKET), encoding="utf-8") as f:
            self.assertIn("\n[Socket]\nListenStream=80\nBindIPv6Only=both\nBacklog=", f.read())
        events = self.events()
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r'^<30>VelmoraProbe\[\d+\]: "Velmora Probe" was successfully installed\.$')

    def test_automatic_start_is_enabled_for_multi_user_and_disabled_on_uninstall(self):
        lines = self.probe("install", NAME, "Velmora Probe", "--auto", "--no-events")
        self.assertEqual(lines[0], "result=1 error=0 message=")
        text = self.unit_text()
        self.assertIn("\n[Install]\nWantedBy=multi-user.target\n", text)
        self.assertIn("\nStartType=2\n", text)
        self.assertEqual(self.calls(), ["daemon-reload", f"enable {UNIT}"])
        wants = os.path.join(self.units, "multi-user.target.wants", UNIT)
        self.assertTrue(os.path.islink(wants))

        self.assertEqual(self.probe("uninstall", NAME, "5000", "--no-events"), ["result=1 error=0 message="])
        self.assertEqual(self.calls(), [SHOW, f"disable {UNIT}", f"stop {SOCKET}", "daemon-reload"])
        self.assertFalse(os.path.lexists(wants))
        self.assertFalse(os.path.exists(os.path.join(self.units, UNIT)))

    def test_a_path_with_a_space_is_registered_in_quotes_and_run_with_its_arguments_intact(self):
        folder = os.path.join(self.dir, "folder with space")
        os.makedirs(folder)
        program = os.path.join(folder, "ServiceInstallProbe")
        shutil.copy(PROBE, program)
        lines = self.probe("install", NAME, "Velmora Probe", "--no-events", "--run-option", "100%",
                           program=program)
        self.assertEqual(lines[0], "result=1 error=0 message=")
        text = self.unit_text()
        self.assertIn(f'\nExecStart="{program}" run {NAME} 100%%\n', text)
        self.assertIn(f'\nCommandLine="{program}" run {NAME} 100%\n', text)

    def test_a_password_is_refused_and_leaves_nothing_behind(self):
        lines = self.probe("install", NAME, "Velmora Probe", "--user", "velmora", "--password", "secret")
        self.assertEqual(lines, ["result=0 error=50 message=CNTService::Install, Failed call to CreateService, "
                                 "Error:50, The request is not supported.",
                                 "user=[] password=[] messagefile=[]"])
        self.assertEqual(os.listdir(self.units), [])
        self.assertEqual(self.calls(), [])
        self.assertEqual(self.events(), [])  # an install writes no error events

    def test_install_failures_come_back_as_win32_codes_with_their_messages(self):
        self.install("--no-events")
        lines = self.probe("install", NAME, "Velmora Probe", "--no-events")
        self.assertEqual(lines[0], "result=0 error=1073 message=CNTService::Install, Failed call to "
                                   "CreateService, Error:1073, The specified service already exists.")
        self.assertEqual(self.calls(), [])

        # systemd refuses the reload: the new unit is taken away again.
        self.set_state(failures={"daemon-reload": [1, "Failed to reload daemon: Access denied\n"]})
        lines = self.probe("install", "VelmoraOther", "Velmora Other", "--no-events")
        self.assertEqual(lines[0], "result=0 error=5 message=CNTService::Install, Failed call to CreateService, "
                                   "Error:5, Permission denied")
        self.assertEqual(sorted(os.listdir(self.units)), [UNIT, SOCKET])

        # A name that cannot be a unit name.
        self.set_state(failures={})
        lines = self.probe("install", "Velmora Other", "Velmora Other", "--no-events")
        self.assertTrue(lines[0].startswith("result=0 error=123 message=CNTService::Install, Failed call to "
                                            "CreateService, Error:123, "), lines)

    def test_a_second_installer_waits_for_nobody_but_is_refused_while_the_database_is_locked(self):
        # flock on the unit folder is the database lock; hold it from here.
        import fcntl
        fd = os.open(self.units, os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            lines = self.probe("install", NAME, "Velmora Probe", "--no-events")
            self.assertEqual(lines[0], "result=0 error=1055 message=CNTService::Install, Failed call to lock SCM, "
                                       "Error:1055, The service database is locked.")
        finally:
            os.close(fd)
        self.assertEqual(os.listdir(self.units), [])

    # -- start, stop, pause, continue -----------------------------------------

    def test_start_and_stop_with_waits_and_nothing_sent_when_already_there(self):
        self.install()
        self.assertEqual(self.probe("status", NAME, START, "2000", "20"), ["result=1 error=12345"])
        self.assertEqual(self.calls(), [SHOW, SHOW, f"start --no-block {SOCKET} {UNIT}", SHOW])
        # Starting a running service sends nothing.
        self.assertEqual(self.probe("status", NAME, START, "2000", "20"), ["result=1 error=12345"])
        self.assertEqual(self.calls(), [SHOW, SHOW])

        self.assertEqual(self.probe("status", NAME, STOP, "2000", "20"), ["result=1 error=12345"])
        self.assertEqual(self.calls(), [SHOW, SHOW, f"stop --no-block {SOCKET} {UNIT}", SHOW, SHOW])
        # Stopping a stopped service sends nothing.
        self.assertEqual(self.probe("status", NAME, STOP, "2000", "20"), ["result=1 error=12345"])
        self.assertEqual(self.calls(), [SHOW, SHOW])
        self.assertEqual(self.events(), [])

    def test_active_states_map_onto_service_states(self):
        self.install()
        # A failed unit is a stopped service: stopping it sends nothing.
        self.set_unit_state("failed", "36")
        self.assertEqual(self.probe("status", NAME, STOP, "500", "20"), ["result=1 error=12345"])
        self.assertEqual(self.calls(), [SHOW, SHOW])
        # activating is START_PENDING: a start that stays there times out with 1460.
        self.set_unit_state("inactive")
        self.set_state(after_start="activating")
        self.assertEqual(self.probe("status", NAME, START, "200", "20"), ["result=0 error=1460"])
        events = self.events()
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r"^<27>VelmoraProbe\[\d+\]: Failed to wait for service to change to desired "
                                    r"state, Desired State: 4, Error: 1460, This operation returned because the "
                                    r"timeout period expired\.\.$")
        self.calls()
        # Starting a service that is starting already: 1056 from the start.
        self.assertEqual(self.probe("status", NAME, START, "200", "20", "--no-events"), ["result=0 error=1056"])
        self.assertEqual(self.calls(), [SHOW, SHOW])
        # deactivating is STOP_PENDING, which accepts no stop (1061), and whose stop failure event is the bare number.
        self.set_unit_state("deactivating")
        self.assertEqual(self.probe("status", NAME, STOP, "200", "20"), ["result=0 error=1061"])
        self.assertEqual(self.calls(), [SHOW, SHOW])
        events = self.events()
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r"^<27>VelmoraProbe\[\d+\]: Failed to stop the service, Error: 1061\.$")

    def test_waits_end_at_once_when_the_unit_fails_meanwhile_with_the_nearest_win32_code(self):
        self.install()
        failures = [
            # The program could not be run; a crash; the program's own failure, from its last status.
            ({"ActiveState": "failed", "Result": "exit-code", "ExecMainStatus": "203"}, START, "2"),
            ({"ActiveState": "failed", "Result": "signal", "ExecMainStatus": "11"}, START, "1067"),
            ({"ActiveState": "activating", "SubState": "auto-restart", "Result": "exit-code", "ExecMainStatus": "42",
              "StatusText": "Stopped, Win32 exit code 1066, service-specific exit code 10048"}, START, "1066"),
            ({"ActiveState": "failed", "Result": "timeout"}, STOP, "1053"),
        ]
        for after, action, error in failures:
            with self.subTest(after=after):
                self.set_unit_state("active" if action == STOP else "inactive")
                self.set_state(after_start=after, after_stop=after)
                # A wait that went on would end after 30 s with 1460.
                self.assertEqual(self.probe("status", NAME, action, "30000", "20", "--no-events"),
                                 [f"result=0 error={error}"])

    def test_pause_and_continue_are_refused_with_1052(self):
        self.install()
        self.set_unit_state("active")
        self.assertEqual(self.probe("status", NAME, PAUSE, "2000", "20"), ["result=0 error=1052"])
        self.assertEqual(self.calls(), [SHOW, SHOW])
        events = self.events()
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r"^<27>VelmoraProbe\[\d+\]: Failed to pause the service, Error: 1052, The "
                                    r"requested control is not valid for this service\.\.$")
        # Continue: a running service is there already; any other is refused.
        self.assertEqual(self.probe("status", NAME, CONTINUE, "2000", "20", "--no-events"), ["result=1 error=12345"])
        self.set_unit_state("inactive")
        self.assertEqual(self.probe("status", NAME, CONTINUE, "2000", "20", "--no-events"), ["result=0 error=1052"])

    def test_control_failures_come_back_as_win32_codes(self):
        self.install()
        self.set_state(failures={"start": [4, f"Failed to start {UNIT}: Access denied\n"]})
        self.assertEqual(self.probe("status", NAME, START, "2000", "20", "--no-events"), ["result=0 error=5"])
        self.set_state(failures={})
        self.assertEqual(self.probe("status", "VelmoraMissing", START, "2000", "20", "--no-events"),
                         ["result=0 error=1060"])
        # The unit file is gone, but systemd still knows the unit: it is not installed.
        os.remove(os.path.join(self.units, UNIT))
        self.assertEqual(self.probe("status", NAME, STOP, "2000", "20", "--no-events"), ["result=0 error=1060"])

    # -- uninstall -------------------------------------------------------------

    def test_uninstall_of_a_stopped_service_sends_no_stop(self):
        self.install()
        self.assertEqual(self.probe("uninstall", NAME, "5000", "--display", "Velmora Probe"),
                         ["result=1 error=0 message="])
        self.assertEqual(self.calls(), [SHOW, f"stop {SOCKET}", "daemon-reload"])
        self.assertEqual(os.listdir(self.units), [])
        self.assertEqual(self.events(), [])

    def test_uninstall_of_a_running_service_stops_it_first(self):
        self.install()
        self.set_unit_state("active")
        self.assertEqual(self.probe("uninstall", NAME, "5000", "--display", "Velmora Probe"),
                         ["result=1 error=0 message="])
        self.assertEqual(self.calls(), [SHOW, SHOW, f"stop --no-block {SOCKET} {UNIT}", SHOW, SHOW, f"stop {SOCKET}",
                                        "daemon-reload"])

    def test_uninstall_of_a_running_service_that_will_not_stop_fails_and_keeps_it(self):
        self.install()
        self.set_unit_state("active")
        self.set_state(after_stop="active")
        self.assertEqual(self.probe("uninstall", NAME, "300", "--display", "Velmora Probe"),
                         ["result=0 error=1460 message=CNTService::Uninstall, Failed call to WaitForStop, "
                          "Error:1460, This operation returned because the timeout period expired."])
        self.assertTrue(os.path.exists(os.path.join(self.units, UNIT)))
        self.assertNotIn("daemon-reload", self.calls())

    def test_uninstall_refused_its_stop_reports_that_and_keeps_the_service(self):
        self.install()
        self.set_unit_state("active")
        self.set_state(failures={"stop": [1, f"Failed to stop {UNIT}: Interactive authentication required.\n"]})
        self.assertEqual(self.probe("uninstall", NAME, "5000", "--display", "Velmora Probe"),
                         ["result=0 error=5 message=CNTService::Uninstall, Failed to stop service, Error:5, "
                          "Permission denied"])
        self.assertEqual(self.calls(), [SHOW, SHOW, f"stop --no-block {SOCKET} {UNIT}"])  # no wait
        self.assertTrue(os.path.exists(os.path.join(self.units, UNIT)))

    def test_uninstall_of_a_service_that_is_not_installed(self):
        self.assertEqual(self.probe("uninstall", NAME, "5000"),
                         ["result=0 error=1060 message=CNTService::Uninstall, Failed call to OpenService, "
                          "Error:1060, The specified service does not exist as an installed service."])
        events = self.events()
        self.assertEqual(len(events), 1, events)
        self.assertRegex(events[0], r"^<27>VelmoraProbe\[\d+\]: Failed to open the service, Error: 1060, The "
                                    r"specified service does not exist as an installed service\.\.$")

    # -- the installed instances -----------------------------------------------

    def test_enumerate_finds_the_services_that_run_this_program(self):
        self.install("--no-events", name="VelmoraA")
        self.install("--no-events", "--auto", name="VelmoraB")
        self.install("--no-events", "--binary-path", "/usr/bin/other -x", name="Other")
        with open(os.path.join(self.units, "foreign.service"), "w") as f:
            f.write(f"[Unit]\nDescription=Foreign\n[Service]\nExecStart={PROBE.upper()} run foreign\n")
        with open(os.path.join(self.units, "template@.service"), "w") as f:
            f.write(f"[Service]\nExecStart={PROBE} run %i\n")
        self.set_state(units={"VelmoraA.service": {"ActiveState": "active"}})
        self.assertEqual(self.probe("enumerate"),
                         ["result=1 error=0", "service VelmoraA", "service VelmoraB", "service foreign"])
        # The list with its states in one systemctl call.
        self.assertEqual(self.calls(), [SHOW.replace(UNIT, "Other.service VelmoraA.service VelmoraB.service "
                                                          "foreign.service")])

    # -- no systemd --------------------------------------------------------------

    def test_without_systemd_every_operation_fails_cleanly_and_touches_nothing(self):
        os.rmdir(self.runtime)
        no_scm = "Error:1063, The service process could not connect to the service controller."
        self.assertEqual(self.probe("install", NAME, "Velmora Probe", "--user", "u"),
                         [f"result=0 error=1063 message=CNTService::Install, Failed call to open SCM, {no_scm}",
                          "user=[] password=[] messagefile=[]"])
        self.assertEqual(self.probe("uninstall", NAME, "5000"),
                         [f"result=0 error=1063 message=CNTService::Uninstall, Failed call to open SCM, {no_scm}"])
        self.assertEqual(self.probe("status", NAME, START, "2000", "20"), ["result=0 error=1063"])
        self.assertEqual(self.probe("enumerate"), ["result=0 error=1063"])
        self.assertEqual(os.listdir(self.units), [])
        self.assertFalse(os.path.exists(os.path.join(self.dir, "registry")))
        self.assertEqual(self.calls(), [])
        events = self.events()
        self.assertEqual(len(events), 2, events)
        self.assertRegex(events[0], r"^<27>VelmoraProbe\[\d+\]: Failed to connect to the Service Control Manager, "
                                    r"Error: 1063, The service process could not connect to the service "
                                    r"controller\.\.$")


if __name__ == "__main__":
    unittest.main()
