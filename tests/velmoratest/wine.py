"""A Wine prefix of a test's own, whose service control manager runs the
services under test, with the event-log trace of everything it runs.

Wine's background processes (the service control manager among them) keep
the standard error of the Wine command that started them, and every service
they start inherits it. So the first Wine process of the prefix's server is
a holder (ScmProbe hold) started with WINEDEBUG=+eventlog and its output in a
file: the events of every service of the run can be read from that file. The
holder keeps the server alive until the test lets it go; the server then ends
on its own. Other prefixes and their servers are never touched. held_prefix
starts such a prefix for a test class.

Wine writes no event log: ReportEventW is a stub that traces its arguments.
Message boxes are read the same way, from a relay trace of
user32.MessageBoxW (the prefix is set up to relay that one function only):
without a display the call fails at once, but the trace shows the text that
would have been shown.
"""
import collections
import os
import re
import subprocess
import tempfile
import time

from . import temp_folder

TIMEOUT = 60

# The service that VelmoraService.exe -install registers, and its event source.
SERVICE_NAME = "HarbrookVelmoraService"
SERVICE_DISPLAY = "Harbrook Velmora Service"
SERVICE_DESCRIPTION = "Provides a Velmora service that can be used by the Norvane/Belco setups."
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE_NAME
EVENT_SOURCE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\EventLog\\Application\\" + SERVICE_DISPLAY
# Wine's service manager takes failure actions without keeping them; its trace shows what arrived
# (restart 5 s after a crash, the count reset after a day).
FAILURE_ACTIONS_TRACE = ("svcctl_ChangeServiceConfig2W SERVICE_CONFIG_FAILURE_ACTIONS not implemented: "
                         "period 86400 msg (null) cmd (null)")


def winpath(path):
    """A Linux path as a Windows program under Wine sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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


_REPORT = re.compile(r"^([0-9a-f]+):fixme:advapi:ReportEventW \(\w+,0x(\w+),0x\w+,0x(\w+),\w+,0x(\w+),")
_REGISTER = re.compile(r'^([0-9a-f]+):fixme:advapi:RegisterEventSourceW \(\(null\),(L".*")\): stub$')
_MESSAGE_BOX = re.compile(r'^[0-9a-f]+:Call user32\.MessageBoxW\([0-9a-f]+,[0-9a-f]+ (L"(?:[^"\\]|\\.)*"),'
                          r'[0-9a-f]+ (L"(?:[^"\\]|\\.)*"),([0-9a-f]+)\)')


EventReport = collections.namedtuple("EventReport", "source type id strings registered deregistered")


def event_reports(trace):
    """Every ReportEventW of a +eventlog trace, in the order written. Each
    report is traced as one line with its arguments and one line per
    insertion string, on the writing thread; threads of several processes
    interleave. `source` is the latest source that the thread registered
    before the report; `registered`, the thread's line right before the
    report is that registration (the report has one of its own);
    `deregistered`, the thread's line right after the insertion strings
    closes it."""
    lines = trace.splitlines()
    reports = []
    for i, line in enumerate(lines):
        m = _REPORT.match(line)
        if not m:
            continue
        thread, count = m.group(1), int(m.group(4), 16)
        own = [l for l in lines[i + 1:] if l.startswith(thread + ":")]
        strings = [unescape_debugstr(l.split(":ReportEventW ", 1)[1]) for l in own[:count]]
        before = [l for l in lines[:i] if l.startswith(thread + ":")]
        source, registered = None, False
        for distance, earlier in enumerate(reversed(before)):
            r = _REGISTER.match(earlier)
            if r:
                source, registered = unescape_debugstr(r.group(2)), distance == 0
                break
        deregistered = len(own) > count and "DeregisterEventSource" in own[count]
        reports.append(EventReport(source, int(m.group(2), 16), int(m.group(3), 16), strings, registered,
                                   deregistered))
    return reports


def trace_events(trace):
    """(source, type, id, insertion strings) of every ReportEventW in a
    +eventlog trace, in the order written."""
    return [(r.source, r.type, r.id, r.strings) for r in event_reports(trace)]


def message_boxes(trace):
    """(text, caption, type) of every MessageBoxW call in a relay trace."""
    boxes = []
    for line in trace.splitlines():
        m = _MESSAGE_BOX.match(line)
        if m:
            boxes.append((unescape_debugstr(m.group(1)), unescape_debugstr(m.group(2)), int(m.group(3), 16)))
    return boxes


class WinePrefix:
    """A private prefix, held alive from start() to stop()."""

    def __init__(self, path, holder_program, work_dir, seconds=600):
        self.path = path
        self.holder_program = holder_program
        self.dir = work_dir
        self.seconds = seconds
        self.hold = os.path.join(work_dir, "hold")
        self.trace_path = os.path.join(work_dir, "trace.txt")
        self.holder = None
        self._trace_file = None

    def env(self, debug="-all"):
        return dict(os.environ, WINEPREFIX=self.path, WINEDEBUG=debug, WINEDLLOVERRIDES="mscoree,mshtml=")

    def _quiet(self, *command, timeout):
        subprocess.run(["timeout", "--kill-after=10", str(timeout), *command], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env())

    def start(self):
        if not os.path.exists(os.path.join(self.path, "system.reg")):
            os.makedirs(self.path, exist_ok=True)
            self._quiet("wineboot", "-i", timeout=300)
        # A server left from an earlier run of this prefix ends by itself; the
        # holder must be the first process of a new one.
        self._quiet("wineserver", "-w", timeout=120)
        open(self.hold, "w").close()
        # A restarted prefix goes on writing the same trace.
        self._trace_file = open(self.trace_path, "ab")
        since = self._trace_file.tell()
        self.holder = subprocess.Popen(
            ["timeout", "--kill-after=10", str(self.seconds + 60), "wine", self.holder_program, "hold",
             winpath(self.hold), str(self.seconds)],
            stdin=subprocess.DEVNULL, stdout=self._trace_file, stderr=subprocess.STDOUT, env=self.env("+eventlog"))
        deadline = time.time() + 120
        while time.time() < deadline and b"holding" not in self.trace_bytes()[since:]:
            if self.holder.poll() is not None:
                break
            time.sleep(0.2)
        if b"holding" not in self.trace_bytes()[since:]:
            self.stop()
            raise AssertionError("the Wine holder process did not start:\n" + self.trace())
        # Relay tracing (used for message boxes) follows this one function only.
        self.wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ",
                  "/d", "user32.MessageBoxW", "/f")

    def stop(self):
        """Lets the holder go and waits for the prefix's server to end (the
        services of the prefix must have stopped)."""
        if os.path.exists(self.hold):
            os.remove(self.hold)
        if self.holder is not None:
            try:
                self.holder.wait(60)
            except subprocess.TimeoutExpired:
                self.holder.kill()
                self.holder.wait(30)
        if self._trace_file is not None:
            self._trace_file.close()
        self._quiet("wineserver", "-w", timeout=120)

    def restart(self):
        """Shuts the prefix's Wine down and boots it again, as a restart of
        the system: its services manager starts the automatic services.
        Running services keep the old server alive, so stop them first."""
        self.stop()
        self.start()

    def wine(self, *args, debug="-all", timeout=TIMEOUT):
        """Runs a Wine command in the prefix: (exit status, output, error output).

        The output goes to files, not pipes: a Wine process that the command
        starts in the background (explorer.exe for the desktop, when the
        holder could not start it) keeps the command's output open for as
        long as it lives, and reading a pipe to its end would wait for that."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(["timeout", "--kill-after=10", str(timeout), "wine", *args],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=self.env(debug))
            decode = lambda f: (f.seek(0), f.read())[1].decode("utf-8", "replace").replace("\r\n", "\n")
            return result.returncode, decode(out), decode(err)

    # -- the holder's trace: events of the prefix's services ----------------

    def trace_bytes(self):
        with open(self.trace_path, "rb") as f:
            return f.read()

    def trace(self):
        return self.trace_bytes().decode("utf-8", "replace")

    # -- service control manager and registry ---------------------------------

    def sc_query(self, name):
        """The fields of `sc query NAME` as a dict (empty when there is no such service)."""
        _, output, _ = self.wine("sc", "query", name)
        fields = {}
        for line in output.splitlines():
            key, sep, value = line.partition(":")
            if sep:
                fields[key.strip()] = value.strip()
        return fields

    def reg_values(self, key):
        """{name: (type, data)} of `wine reg query KEY`, or None when the key does not exist."""
        code, output, _ = self.wine("reg", "query", key)
        if code != 0:
            return None
        values = {}
        for line in output.splitlines():
            m = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def remove_service(self, name, event_source_key=None):
        """Stops and deletes a service left by an interrupted run, and its event source."""
        deadline = time.time() + TIMEOUT
        while time.time() < deadline:
            state = self.sc_query(name).get("STATE", "")
            if not state or state.startswith("1"):
                break
            self.wine("sc", "stop", name)
            time.sleep(0.5)
        self.wine("sc", "delete", name)
        if event_source_key:
            self.wine("reg", "delete", event_source_key, "/f")


def held_prefix(test_class, path, holder_program, seconds=600):
    """Starts the prefix at `path` for a test class, held by `holder_program`
    for at most `seconds`, with a work folder of its own (its `dir`). After
    the class's last test (tearDownClass first) the prefix is let go and the
    folder removed."""
    prefix = WinePrefix(path, holder_program, temp_folder(test_class, "velmora-wine-"), seconds)
    prefix.start()
    test_class.addClassCleanup(prefix.stop)
    return prefix


def prefix_server_under(test, path, preexec):
    """The environment that runs Wine programs in the prefix at `path`
    (booted when it is new), whose Wine server runs under `preexec` (a
    preexec_fn, or None). The server makes the sockets of every program of
    the prefix. It ends after `test` (a test, or a test class: after its
    last test). It is never the server that booted the prefix: some of Wine's
    services (the background transfer service) do not start in that one."""
    env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")

    def quiet(*command, timeout=120, **options):
        subprocess.run(["timeout", "--kill-after=10", str(timeout), *command], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, **options)

    if not os.path.exists(os.path.join(path, "system.reg")):
        os.makedirs(path, exist_ok=True)
        quiet("wineboot", "-i", timeout=300)
        quiet("wineserver", "-k")
    quiet("wineserver", "-w")  # a server left from booting or an earlier run ends first
    quiet("wineserver", "-p", preexec_fn=preexec)
    (test.addClassCleanup if isinstance(test, type) else test.addCleanup)(quiet, "wineserver", "-k")
    # Wine's background processes start with the first program, outputs redirected (see WinePrefix).
    quiet("wine", "cmd", "/c", "exit")
    return env

