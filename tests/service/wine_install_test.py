"""Install, uninstall and control of the installed service under Wine's real
service control manager: ServiceInstallProbe (built on CNTService) installs
itself (with and without a description, with an event source whose registry
keys and values are read back, from a folder with a space), starts and stops
itself through SetServiceToStatus, fails as the SCM makes it fail (pause
refused, a start that does not finish, a stop refused, a service that will
not stop), uninstalls itself and lists the services that run it. The events
that the probe writes are read from Wine's event-log trace
(WINEDEBUG=+eventlog) of the probe's own run.

The tests use a Wine prefix of their own (VELMORA_INSTALL_WINEPREFIX, by
default install-wineprefix in the build folder), kept alive by a holder
process for the length of the run (see tests/velmoratest/wine.py); the shared
prefix and its server are not touched.

Set by ctest: VELMORA_INSTALL_PROBE, VELMORA_SCM_PROBE, VELMORA_BINARY_DIR.
"""
import os
import re
import shutil
import time
import unittest

from velmoratest.wine import TIMEOUT, held_prefix, trace_events, winpath

PROBE = os.environ.get("VELMORA_INSTALL_PROBE", "")
SCM_PROBE = os.environ.get("VELMORA_SCM_PROBE", "")
BINARY_DIR = os.environ.get("VELMORA_BINARY_DIR", "")
PREFIX = os.environ.get("VELMORA_INSTALL_WINEPREFIX") or os.path.join(BINARY_DIR, "install-wineprefix")
START, PAUSE, CONTINUE, STOP = "0", "1", "2", "3"
SERVICES_KEY = "HKLM\\System\\CurrentControlSet\\Services"
EVENTLOG_KEY = "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application"


class WineInstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for what in (PROBE, SCM_PROBE, BINARY_DIR):
            assert what, "VELMORA_INSTALL_PROBE, VELMORA_SCM_PROBE, VELMORA_BINARY_DIR"
        cls.services = []
        cls.prefix = held_prefix(cls, PREFIX, SCM_PROBE, seconds=800)
        cls.dir = cls.prefix.dir

    @classmethod
    def tearDownClass(cls):
        for name in cls.services:
            cls.remove_service(name)

    @classmethod
    def remove_service(cls, name):
        """Lets a held service go (gate and release files), stops it and deletes it."""
        for what in ("gate", "release"):
            open(os.path.join(cls.dir, f"{name}.{what}"), "w").close()
        cls.prefix.remove_service(name)

    # -- helpers ---------------------------------------------------------------

    def probe(self, *args, program=PROBE):
        """Runs the probe; returns its output lines and the events it wrote."""
        _, output, trace = self.prefix.wine(program, *args, debug="+eventlog")
        return output.splitlines(), [event[1:] for event in trace_events(trace)]

    def service_files(self, name):
        return {what: os.path.join(self.dir, f"{name}.{what}") for what in ("log", "gate", "release")}

    def install(self, name, *options, program=PROBE, display=None, held=False, ignore_stop=False):
        """Installs the probe as service NAME (run with a log; optionally held in START_PENDING until
        its gate file exists, or ignoring stop requests until its release file exists)."""
        files = self.service_files(name)
        run = ["--run-option", "--log", "--run-option", winpath(files["log"])]
        if held:
            run += ["--run-option", "--gate", "--run-option", winpath(files["gate"])]
        if ignore_stop:
            run += ["--run-option", "--ignore-stop", "--run-option", "--release",
                    "--run-option", winpath(files["release"])]
        self.__class__.services.append(name)
        lines, events = self.probe("install", name, display or name, *run, *options, program=program)
        self.assertEqual(lines[0], "result=1 error=0 message=", lines)
        return lines, events

    def log(self, name):
        try:
            with open(self.service_files(name)["log"], encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_state(self, name, state):
        deadline = time.time() + TIMEOUT
        fields = {}
        while time.time() < deadline:
            fields = self.prefix.sc_query(name)
            if fields.get("STATE", "").startswith(state):
                return
            time.sleep(0.2)
        self.fail(f"{name} never reached state {state}: {fields}")

    def config(self, name):
        """The registration as Wine's SCM keeps it: {value name: data} of the service's key."""
        values = self.prefix.reg_values(f"{SERVICES_KEY}\\{name}") or {}
        return {key: data for key, (_, data) in values.items()}

    # -- install and uninstall -------------------------------------------------

    def test_install_with_description_and_event_source_then_uninstall(self):
        name, display = "VelmoraInstallDescribed", "Velmora Install Described"
        lines, events = self.install(name, "--description", "Hands out packages.", display=display)
        self.assertEqual(lines[1], f"user=[] password=[] messagefile=[{winpath(PROBE)[:-4]}.DLL]")
        config = self.config(name)
        self.assertEqual(config["DisplayName"], display)
        self.assertEqual(config["Start"], "0x3")
        self.assertEqual(config["Type"], "0x10")
        self.assertEqual(config["ErrorControl"], "0x0")
        self.assertEqual(config["ObjectName"], "LocalSystem")
        self.assertEqual(config["Description"], "Hands out packages.")
        self.assertEqual(config["ImagePath"], f"{winpath(PROBE)} run {name} --log {winpath(self.service_files(name)['log'])}")
        # The event source: its key with the message file and the supported types.
        source = self.prefix.reg_values(f"{EVENTLOG_KEY}\\{display}")
        self.assertEqual(source["EventMessageFile"], ("REG_SZ", winpath(PROBE)[:-4] + ".DLL"))
        self.assertEqual(source["TypesSupported"], ("REG_DWORD", "0x7"))
        self.assertEqual(events, [(4, 0x40000002, [display])])

        lines, events = self.probe("uninstall", name, "5000", "--display", display)
        self.assertEqual(lines, ["result=1 error=0 message="])
        self.assertEqual(events, [])
        self.assertEqual(self.prefix.sc_query(name), {})
        self.assertIsNone(self.prefix.reg_values(f"{EVENTLOG_KEY}\\{display}"))
        self.assertIsNone(self.prefix.reg_values(f"{SERVICES_KEY}\\{name}"))

    def test_install_without_description_or_event_log(self):
        name = "VelmoraInstallPlain"
        lines, events = self.install(name, "--no-events", "--auto")
        self.assertEqual(events, [])
        self.assertNotIn("Description", self.config(name))
        self.assertIsNone(self.prefix.reg_values(f"{EVENTLOG_KEY}\\{name}"))
        self.assertEqual(self.config(name)["Start"], "0x2")
        # A second install of the name fails at CreateService.
        lines, events = self.probe("install", name, name, "--no-events")
        self.assertTrue(lines[0].startswith("result=0 error=1073 message=CNTService::Install, Failed call to "
                                            "CreateService, Error:1073, "), lines)
        self.assertEqual(events, [])

    def test_the_account_is_wiped_after_the_install(self):
        name = "VelmoraInstallAccount"
        self.__class__.services.append(name)
        lines, _ = self.probe("install", name, name, "--no-events", "--user", ".\\velmora", "--password", "pw")
        self.assertEqual(lines[1], "user=[] password=[] messagefile=[]")

    def test_a_path_with_a_space_is_registered_in_quotes_and_runs(self):
        folder = os.path.join(self.dir, "folder with space")
        os.makedirs(folder, exist_ok=True)
        program = os.path.join(folder, os.path.basename(PROBE))
        shutil.copy(PROBE, program)
        name = "VelmoraInstallSpace"
        self.install(name, "--no-events", program=program)
        self.assertEqual(self.config(name)["ImagePath"],
                         f'"{winpath(program)}" run {name} --log {winpath(self.service_files(name)["log"])}')
        lines, _ = self.probe("status", name, START, "20000", "250", "--no-events")
        self.assertEqual(lines, ["result=1 error=12345"])
        self.assertIn("running", self.log(name))
        lines, _ = self.probe("status", name, STOP, "20000", "250", "--no-events")
        self.assertEqual(lines, ["result=1 error=12345"])

    # -- control ---------------------------------------------------------------

    def test_start_and_stop_with_waits_and_nothing_sent_when_already_there(self):
        name = "VelmoraControl"
        self.install(name)
        lines, events = self.probe("status", name, START, "20000", "250")
        self.assertEqual((lines, events), (["result=1 error=12345"], []))
        self.assertTrue(self.prefix.sc_query(name)["STATE"].startswith("4"))
        self.assertIn("running", self.log(name))
        # A second start sends nothing (StartService would fail with 1056).
        lines, events = self.probe("status", name, START, "20000", "250")
        self.assertEqual((lines, events), (["result=1 error=12345"], []))
        self.assertEqual(self.log(name).count("ServiceMain"), 1)

        lines, events = self.probe("status", name, STOP, "20000", "250")
        self.assertEqual((lines, events), (["result=1 error=12345"], []))
        self.assertTrue(self.prefix.sc_query(name)["STATE"].startswith("1"))
        self.assertEqual(self.log(name).count("stop requested"), 1)
        # A second stop sends nothing (ControlService would fail with 1062).
        lines, events = self.probe("status", name, STOP, "20000", "250")
        self.assertEqual((lines, events), (["result=1 error=12345"], []))

        # Pause: the service does not accept it, and the SCM refuses it with 1052.
        lines, _ = self.probe("status", name, START, "20000", "250")
        self.assertEqual(lines, ["result=1 error=12345"], "the second start")
        lines, events = self.probe("status", name, PAUSE, "20000", "250")
        self.assertEqual(lines, ["result=0 error=1052"])
        self.assertEqual(len(events), 1, events)
        self.assertEqual(events[0][:2], (1, 0xC000000D))
        self.assertEqual(len(events[0][2]), 1)
        self.assertTrue(events[0][2][0].startswith("1052, "), events)

        # Uninstall of a running service stops it first.
        lines, events = self.probe("uninstall", name, "20000")
        self.assertEqual((lines, events), (["result=1 error=0 message="], []))
        self.assertEqual(self.log(name).count("stop requested"), 2)
        self.assertEqual(self.prefix.sc_query(name), {})

    def test_a_start_that_does_not_finish_and_a_refused_stop(self):
        name = "VelmoraControlHeld"
        self.install(name, held=True)
        lines, events = self.probe("status", name, START, "1000", "100")
        self.assertEqual(lines, ["result=0 error=1460"])
        self.assertEqual(len(events), 1, events)
        self.assertEqual(events[0][:2], (1, 0xC000000E))
        self.assertEqual(events[0][2][0], "4")
        self.assertTrue(events[0][2][1].startswith("1460, "), events)
        self.assertTrue(self.prefix.sc_query(name)["STATE"].startswith("2"))

        # A service in START_PENDING accepts no stop: the event carries the bare number.
        lines, events = self.probe("status", name, STOP, "1000", "100")
        m = re.match(r"^result=0 error=(\d+)$", lines[0])
        self.assertTrue(m, lines)
        self.assertIn(m.group(1), ("1052", "1061"))
        self.assertEqual(events, [(1, 0xC000000B, [m.group(1)])])

        open(self.service_files(name)["gate"], "w").close()
        self.wait_for_state(name, "4")
        lines, _ = self.probe("uninstall", name, "20000")
        self.assertEqual(lines, ["result=1 error=0 message="])

    def test_uninstall_of_a_stopped_service_sends_no_stop(self):
        name = "VelmoraUninstallStopped"
        self.install(name, "--no-events")
        self.probe("status", name, START, "20000", "250", "--no-events")
        self.probe("status", name, STOP, "20000", "250", "--no-events")
        self.assertEqual(self.log(name).count("stop requested"), 1)
        # A stop request to a stopped service would fail (1062) and leave message 1516.
        lines, _ = self.probe("uninstall", name, "5000", "--no-events")
        self.assertEqual(lines, ["result=1 error=0 message="])
        self.assertEqual(self.log(name).count("stop requested"), 1)
        self.assertEqual(self.prefix.sc_query(name), {})

    def test_uninstall_of_a_running_service_that_will_not_stop(self):
        name = "VelmoraUninstallStubborn"
        self.install(name, "--no-events", ignore_stop=True)
        lines, _ = self.probe("status", name, START, "20000", "250", "--no-events")
        self.assertEqual(lines, ["result=1 error=12345"])
        lines, events = self.probe("uninstall", name, "1000", "--no-events")
        self.assertTrue(lines[0].startswith("result=0 error=1460 message=CNTService::Uninstall, Failed call to "
                                            "WaitForStop, Error:1460, "), lines)
        self.assertEqual(events, [])
        self.assertIn("stop requested", self.log(name))
        self.assertTrue(self.prefix.sc_query(name)["STATE"].startswith("4"))  # still installed, still running

        open(self.service_files(name)["release"], "w").close()
        self.wait_for_state(name, "1")
        lines, _ = self.probe("uninstall", name, "5000", "--no-events")
        self.assertEqual(lines, ["result=1 error=0 message="])

    def test_uninstall_and_control_of_a_service_that_is_not_installed(self):
        lines, events = self.probe("uninstall", "VelmoraMissing", "5000")
        self.assertTrue(lines[0].startswith("result=0 error=1060 message=CNTService::Uninstall, Failed call to "
                                            "OpenService, Error:1060, "), lines)
        self.assertEqual([e[:2] for e in events], [(1, 0xC0000007)])
        self.assertTrue(events[0][2][0].startswith("1060, "), events)
        lines, events = self.probe("status", "VelmoraMissing", START, "5000", "250")
        self.assertEqual(lines, ["result=0 error=1060"])
        self.assertEqual([e[:2] for e in events], [(1, 0xC0000007)])

    # -- the installed instances -----------------------------------------------

    def test_enumerate_finds_the_services_that_run_this_program(self):
        names = ["VelmoraEnumOne", "VelmoraEnumTwo"]
        for name in names:
            self.install(name, "--no-events")
        self.__class__.services.append("VelmoraEnumOther")
        lines, _ = self.probe("install", "VelmoraEnumOther", "VelmoraEnumOther", "--no-events",
                              "--binary-path", "C:\\windows\\system32\\notepad.exe")
        self.assertEqual(lines[0], "result=1 error=0 message=")
        lines, _ = self.probe("enumerate")
        self.assertEqual(lines[0], "result=1 error=0")
        found = sorted(line[len("service "):] for line in lines[1:])
        self.assertEqual([n for n in found if n.startswith("VelmoraEnum")], names)


if __name__ == "__main__":
    unittest.main()
