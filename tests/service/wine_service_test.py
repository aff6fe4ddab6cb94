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
on its own. The shared prefix and its server are not touched.

Set by ctest: VELMORA_TEST_SERVICE, VELMORA_SCM_PROBE, VELMORA_SOURCE_DIR,
VELMORA_BINARY_DIR.
"""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

SERVICE = os.environ.get("VELMORA_TEST_SERVICE", "")
PROBE = os.environ.get("VELMORA_SCM_PROBE", "")
SOURCE_DIR = os.environ.get("VELMORA_SOURCE_DIR", "")
BINARY_DIR = os.environ.get("VELMORA_BINARY_DIR", "")
PREFIX = os.environ.get("VELMORA_SERVICE_WINEPREFIX") or os.path.join(BINARY_DIR, "service-wineprefix")
NAME = "VelmoraTestService"
DISPLAY = "Velmora Test Service"
TIMEOUT = 60


def winpath(path):
    """A Linux path as a Windows program under Wine sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(debug="-all"):
    return dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG=debug, WINEDLLOVERRIDES="mscoree,mshtml=")


def wine(*args, timeout=TIMEOUT):
    """Runs a Wine command in the test prefix; returns (exit code, output)."""
    # Output goes through a file, not a pipe: a Wine background process that a
    # command starts inherits its handles and could hold a pipe open for good.
    with tempfile.TemporaryFile() as out:
        result = subprocess.run(["timeout", "--kill-after=10", str(timeout), "wine", *args],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, env=wine_env())
        out.seek(0)
        return result.returncode, out.read().decode("utf-8", "replace").replace("\r\n", "\n")


def sc_query():
    """The fields of `sc query NAME` as a dict (STATE, CHECKPOINT, ...)."""
    _, output = wine("sc", "query", NAME)
    fields = {}
    for line in output.splitlines():
        key, sep, value = line.partition(":")
        if sep:
            fields[key.strip()] = value.strip()
    return fields


def unescape_debugstr(text):
    """The text of a Wine debugstr_w rendering L"..."."""
    assert text.startswith('L"') and text.endswith('"'), text
    body, out, i = text[2:-1], [], 0
    while i < len(body):
        c = body[i]
        if c == "\\" and i + 1 < len(body):
            i += 1
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(body[i], body[i]))
        else:
            out.append(c)
        i += 1
    return "".join(out)


def read_data_file(name):
    """The entries of a resources/ data file: {id: text}, escapes resolved."""
    entries = {}
    with open(os.path.join(SOURCE_DIR, "resources", name), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#") or line.startswith("languages"):
                continue
            m = re.match(r'^(0[xX][0-9a-fA-F]+|[0-9]+)\s+"(.*)"$', line)
            assert m, line
            text = re.sub(r'\\([rnt"])', lambda e: {"r": "\r", "n": "\n", "t": "\t", '"': '"'}[e.group(1)],
                          m.group(2))
            entries[int(m.group(1), 0)] = text
    return entries


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def escaped(text):
    return text.replace("\r", "\\r").replace("\n", "\\n")


class WineServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for what in (SERVICE, PROBE, SOURCE_DIR, BINARY_DIR):
            assert what, "VELMORA_TEST_SERVICE, VELMORA_SCM_PROBE, VELMORA_SOURCE_DIR, VELMORA_BINARY_DIR"
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            os.makedirs(PREFIX, exist_ok=True)
            subprocess.run(["timeout", "300", "wineboot", "-i"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env())
        # A server left from an earlier run ends by itself; the holder must be
        # the first process of a new one.
        subprocess.run(["timeout", "120", "wineserver", "-w"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env())
        cls.dir = tempfile.mkdtemp(prefix="velmora-wine-service-")
        cls.hold = os.path.join(cls.dir, "hold")
        open(cls.hold, "w").close()
        cls.trace_path = os.path.join(cls.dir, "trace.txt")
        cls.trace_file = open(cls.trace_path, "wb")
        cls.holder = subprocess.Popen(
            ["timeout", "--kill-after=10", "600", "wine", PROBE, "hold", winpath(cls.hold), "540"],
            stdin=subprocess.DEVNULL, stdout=cls.trace_file, stderr=subprocess.STDOUT, env=wine_env("+eventlog"))
        try:
            # Only once the holder runs may other Wine commands start: the first
            # one starts the background processes with its own output.
            deadline = time.time() + 120
            while time.time() < deadline and b"holding" not in read_bytes(cls.trace_path):
                if cls.holder.poll() is not None:
                    break
                time.sleep(0.2)
            assert b"holding" in read_bytes(cls.trace_path), "the Wine holder process did not start"
            cls.remove_service()  # left over from an interrupted run
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.remove_service()
        os.remove(cls.hold)
        try:
            cls.holder.wait(60)
        except subprocess.TimeoutExpired:
            cls.holder.kill()
            cls.holder.wait(30)
        cls.trace_file.close()
        # The prefix's server ends once the service and the holder are gone.
        subprocess.run(["timeout", "120", "wineserver", "-w"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=wine_env())
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def remove_service(cls):
        """Stops the test service if it runs (a failed test may leave it
        starting or running) and deletes it."""
        if sc_query().get("STATE", "1").startswith("1"):
            wine("sc", "delete", NAME)
            return
        open(os.path.join(cls.dir, "gate"), "w").close()
        deadline = time.time() + TIMEOUT
        while time.time() < deadline and not sc_query().get("STATE", "1").startswith("1"):
            wine("sc", "stop", NAME)
            time.sleep(0.5)
        wine("sc", "delete", NAME)

    def wait_for_query(self, predicate, what):
        deadline = time.time() + TIMEOUT
        fields = {}
        while time.time() < deadline:
            fields = sc_query()
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

    def trace_events(self):
        """(thread, type, id, insertion strings, registered, deregistered) of
        every ReportEventW of the test service's source in the trace."""
        lines = read_bytes(self.trace_path).decode("utf-8", "replace").splitlines()
        events = []
        report = re.compile(r"^([0-9a-f]+):fixme:advapi:ReportEventW \(\w+,0x(\w+),0x\w+,0x(\w+),\w+,0x(\w+),")
        for i, line in enumerate(lines):
            m = report.match(line)
            if not m:
                continue
            thread, count = m.group(1), int(m.group(4), 16)
            own = [l for l in lines[i + 1:] if l.startswith(thread + ":")]
            strings = [unescape_debugstr(l.split(":ReportEventW ", 1)[1]) for l in own[:count]]
            before = [l for l in lines[:i] if l.startswith(thread + ":")]
            registered = bool(before) and f"RegisterEventSourceW ((null),L\"{DISPLAY}\")" in before[-1]
            after = own[count] if len(own) > count else ""
            events.append((thread, int(m.group(2), 16), int(m.group(3), 16), strings, registered,
                           "DeregisterEventSource" in after))
        return events

    def test_service_under_the_scm_states_controls_exit_codes_and_events(self):
        log = os.path.join(self.dir, "service.log")
        gate = os.path.join(self.dir, "gate")
        binary_path = f"{winpath(SERVICE)} --log {winpath(log)} --gate {winpath(gate)} --exit 1066 7"
        code, output = wine("sc", "create", NAME, "binPath=", binary_path)
        self.assertEqual(code, 0, output)

        code, output = wine("sc", "start", NAME)
        self.assertEqual(code, 0, output)
        fields = self.wait_for_query(lambda f: f.get("CHECKPOINT") == "0x1", "checkpoint 1")
        self.assertEqual(fields["STATE"], "2  START_PENDING")
        self.assertEqual(fields["WAIT_HINT"], "0x1388")  # 5000 ms

        open(gate, "w").close()
        fields = self.wait_for_query(lambda f: f.get("STATE") == "4  RUNNING", "RUNNING")
        self.assertEqual((fields["CHECKPOINT"], fields["WAIT_HINT"]), ("0x0", "0x0"))
        self.wait_for_log(log, "reporting running")

        # Interrogation is answered with the current status.
        code, output = wine(PROBE, "control", NAME, "4")
        self.assertEqual(output.strip(), "result=1 error=0 state=4 checkpoint=0 waithint=0 controls=1")
        self.wait_for_log(log, "control 4 result=0")
        # A user-defined control reaches OnUserDefinedRequest.
        code, output = wine(PROBE, "control", NAME, "200")
        self.assertTrue(output.startswith("result=1 error=0 state=4"), output)
        self.wait_for_log(log, "user-defined request 200")

        code, output = wine("sc", "stop", NAME)
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
        events = [e for e in self.trace_events() if e[4]]
        self.assertEqual([(t, i, s) for _, t, i, s, _, _ in events], [
            (4, 0x40000001, [DISPLAY]),
            (1, 0xC000000E, ["4", "1460, Test timeout text"]),
            (1, 0xC000000B, ["5"]),
            (4, 0x40000003, [DISPLAY]),
        ], read_bytes(self.trace_path).decode("utf-8", "replace"))
        self.assertTrue(all(e[5] for e in events), "every report closes its registration")

        # The event viewer's rendering of those events from the executable.
        code, output = wine(PROBE, "messages", winpath(SERVICE), "1033", "0x40000001", "0xC000000E")
        self.assertEqual(output.splitlines(), [
            '0x40000001 "<1>" started successfully.\\r\\n',
            "0xC000000E Failed to wait for service to change to desired state, Desired State: <1>, "
            "Error: <2>.\\r\\n",
        ])

    def test_message_and_string_tables_of_the_executable(self):
        messages = read_data_file("messages.txt")
        self.assertEqual(len(messages), 18)
        for language in ("1033", "1036"):
            code, output = wine(PROBE, "messages", winpath(SERVICE), language,
                                *[f"0x{i:08X}" for i in messages])
            expected = [f"0x{i:08X} " + escaped(re.sub(r"%(\d)", r"<\1>", text)) for i, text in messages.items()]
            self.assertEqual(output.splitlines(), expected, language)
        strings = read_data_file("strings.txt")
        self.assertEqual(sorted(strings), [i for i in range(1501, 1529) if i != 1514])
        code, output = wine(PROBE, "strings", winpath(SERVICE), *[str(i) for i in strings], "1514")
        expected = [f"{i} " + escaped(text) for i, text in strings.items()] + ["1514 LoadString failed"]
        self.assertEqual(output.splitlines(), expected)

    def test_started_by_hand_the_dispatcher_fails_with_1063(self):
        log = os.path.join(self.dir, "by-hand.log")
        code, _ = wine(SERVICE, "--log", winpath(log))
        self.assertEqual(code, 1063 % 256)
        self.assertEqual(self.service_log(log), ["StartCtrlDispatcher", "StartCtrlDispatcher failed, error 1063"])


if __name__ == "__main__":
    unittest.main()
