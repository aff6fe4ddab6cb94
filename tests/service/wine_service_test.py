"""The Windows test service under Wine's real service control manager.

The service is installed, started with `sc start`, watched with `sc query`
through START_PENDING (checkpoint and wait hint) to RUNNING, sent an
interrogation and a user-defined control, stopped with `sc stop`, and ends
with the exit codes of the CNTServiceTerminateException it throws. Its events
are read from Wine's event-log trace (WINEDEBUG=+eventlog), and the message
and string tables of the executable are rendered as an event viewer does.

Wine's background processes (the service control manager among them) keep
the standard error of the Wine command that started them, and the service
inherits it. So that the service's trace can be read, these tests run in a
Wine prefix of their own (VELMORA_SERVICE_WINEPREFIX, by default
service-wineprefix in the build folder), whose first Wine process is a holder
started with the trace switched on and its output in a file. The holder keeps
that prefix's Wine server alive for the tests; when it ends, the server ends
on its own (see tests/velmoratest/wine.py). The shared prefix and its server are
not touched.

Set by ctest: VELMORA_TEST_SERVICE, VELMORA_SCM_PROBE, VELMORA_SOURCE_DIR,
VELMORA_BINARY_DIR.
"""
import os
import re
import time
import unittest

from velmoratest.wine import TIMEOUT, event_reports, held_prefix, winpath

SERVICE = os.environ.get("VELMORA_TEST_SERVICE", "")
PROBE = os.environ.get("VELMORA_SCM_PROBE", "")
SOURCE_DIR = os.environ.get("VELMORA_SOURCE_DIR", "")
BINARY_DIR = os.environ.get("VELMORA_BINARY_DIR", "")
PREFIX = os.environ.get("VELMORA_SERVICE_WINEPREFIX") or os.path.join(BINARY_DIR, "service-wineprefix")
NAME = "VelmoraTestService"
DISPLAY = "Velmora Test Service"


def read_data_file(name):
    """The entries of a resources/ data file (id, name, text): {id: text}, escapes resolved."""
    entries = {}
    with open(os.path.join(SOURCE_DIR, "resources", name), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#") or line.startswith("languages"):
                continue
            m = re.match(r'^(0[xX][0-9a-fA-F]+|[0-9]+)\s+[A-Za-z_]\w*\s+"(.*)"$', line)
            assert m, line
            text = re.sub(r'\\([rnt"])', lambda e: {"r": "\r", "n": "\n", "t": "\t", '"': '"'}[e.group(1)],
                          m.group(2))
            entries[int(m.group(1), 0)] = text
    return entries


def escaped(text):
    return text.replace("\r", "\\r").replace("\n", "\\n")


class WineServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for what in (SERVICE, PROBE, SOURCE_DIR, BINARY_DIR):
            assert what, "VELMORA_TEST_SERVICE, VELMORA_SCM_PROBE, VELMORA_SOURCE_DIR, VELMORA_BINARY_DIR"
        cls.prefix = held_prefix(cls, PREFIX, PROBE, seconds=540)
        cls.dir = cls.prefix.dir
        cls.remove_service()  # left over from an interrupted run

    @classmethod
    def tearDownClass(cls):
        # The prefix's server ends once the service and the holder are gone.
        cls.remove_service()

    @classmethod
    def remove_service(cls):
        """Stops the test service if it runs (a failed test may leave it
        starting or running) and deletes it. Only a service that runs gets
        its gate (held starting, it goes on to run and can then stop): the
        first test starts the service with no gate file."""
        if not cls.prefix.sc_query(NAME).get("STATE", "1").startswith("1"):
            open(os.path.join(cls.dir, "gate"), "w").close()
        cls.prefix.remove_service(NAME)

    def wait_for_query(self, predicate, what):
        deadline = time.time() + TIMEOUT
        fields = {}
        while time.time() < deadline:
            fields = self.prefix.sc_query(NAME)
            if predicate(fields):
                return fields
            time.sleep(0.2)
        self.fail(f"sc query never showed {what}: {fields}")

    def service_log(self, path):
        try:
            with open(path, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_log(self, path, line):
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            if line in self.service_log(path):
                return
            time.sleep(0.1)
        self.fail(f"no {line!r} in the service log: {self.service_log(path)}")

    def test_service_under_the_scm_states_controls_exit_codes_and_events(self):
        log = os.path.join(self.dir, "service.log")
        gate = os.path.join(self.dir, "gate")
        binary_path = f"{winpath(SERVICE)} --log {winpath(log)} --gate {winpath(gate)} --exit 1066 7"
        code, output, _ = self.prefix.wine("sc", "create", NAME, "binPath=", binary_path)
        self.assertEqual(code, 0, output)

        code, output, _ = self.prefix.wine("sc", "start", NAME)
        self.assertEqual(code, 0, output)
        fields = self.wait_for_query(lambda f: f.get("CHECKPOINT") == "0x1", "checkpoint 1")
        self.assertEqual(fields["STATE"], "2  START_PENDING")
        self.assertEqual(fields["WAIT_HINT"], "0x1388")  # 5000 ms

        open(gate, "w").close()
        fields = self.wait_for_query(lambda f: f.get("STATE") == "4  RUNNING", "RUNNING")
        self.assertEqual((fields["CHECKPOINT"], fields["WAIT_HINT"]), ("0x0", "0x0"))
        self.wait_for_log(log, "reporting running")

        # Interrogation is answered with the current status.
        code, output, _ = self.prefix.wine(PROBE, "control", NAME, "4")
        self.assertEqual(output.strip(), "result=1 error=0 state=4 checkpoint=0 waithint=0 controls=1")
        self.wait_for_log(log, "control 4 result=0")
        # A user-defined control reaches OnUserDefinedRequest.
        code, output, _ = self.prefix.wine(PROBE, "control", NAME, "200")
        self.assertTrue(output.startswith("result=1 error=0 state=4"), output)
        self.wait_for_log(log, "user-defined request 200")

        code, output, _ = self.prefix.wine("sc", "stop", NAME)
        self.assertEqual(code, 0, output)
        fields = self.wait_for_query(lambda f: f.get("STATE") == "1  STOPPED", "STOPPED")
        self.assertEqual(fields["WIN32_EXIT_CODE"], "1066  (0x42a)")
        self.assertEqual(fields["SERVICE_EXIT_CODE"], "7  (0x7)")
        self.wait_for_log(log, "StartCtrlDispatcher returned")
        lines = self.service_log(log)
        self.assertIn(f"ServiceMain argc=1 argv0={NAME} thread=other", lines)
        self.assertIn("control 1 result=0", lines)
        self.assertLess(lines.index("control 1 result=0"), lines.index("ServiceMain ending"))

        # The events, each with its own registration, in the order written.
        events = [e for e in event_reports(self.prefix.trace()) if e.source == DISPLAY and e.registered]
        self.assertEqual([(e.type, e.id, e.strings) for e in events], [
            (4, 0x40000001, [DISPLAY]),
            (1, 0xC000000E, ["4", "1460, Test timeout text"]),
            (1, 0xC000000B, ["5"]),
            (4, 0x40000003, [DISPLAY]),
        ], self.prefix.trace())
        self.assertTrue(all(e.deregistered for e in events), "every report closes its registration")

        # The event viewer's rendering of those events from the executable.
        code, output, _ = self.prefix.wine(PROBE, "messages", winpath(SERVICE), "1033", "0x40000001",
                                           "0xC000000E")
        self.assertEqual(output.splitlines(), [
            '0x40000001 "<1>" started successfully.\\r\\n',
            "0xC000000E Failed to wait for service to change to desired state, Desired State: <1>, "
            "Error: <2>.\\r\\n",
        ])

    def test_message_and_string_tables_of_the_executable(self):
        messages = read_data_file("messages.txt")
        self.assertEqual(len(messages), 19)
        for language in ("1033", "1036"):
            code, output, _ = self.prefix.wine(PROBE, "messages", winpath(SERVICE), language,
                                               *[f"0x{i:08X}" for i in messages])
            expected = [f"0x{i:08X} " + escaped(re.sub(r"%(\d)", r"<\1>", text)) for i, text in messages.items()]
            self.assertEqual(output.splitlines(), expected, language)
        strings = read_data_file("strings.txt")
        self.assertEqual(sorted(strings), [i for i in range(1501, 1529) if i != 1514])
        code, output, _ = self.prefix.wine(PROBE, "strings", winpath(SERVICE), *[str(i) for i in strings],
                                           "1514")
        expected = [f"{i} " + escaped(text) for i, text in strings.items()] + ["1514 LoadString failed"]
        self.assertEqual(output.splitlines(), expected)

    def test_started_by_hand_the_dispatcher_fails_with_1063(self):
        log = os.path.join(self.dir, "by-hand.log")
        code, _, _ = self.prefix.wine(SERVICE, "--log", winpath(log))
        self.assertEqual(code, 1063 % 256)
        self.assertEqual(self.service_log(log), ["StartCtrlDispatcher", "StartCtrlDispatcher failed, error 1063"])


if __name__ == "__main__":
    unittest.main()
