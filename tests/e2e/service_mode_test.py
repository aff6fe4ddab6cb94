"""End to end: the real program on its service-host path (Linux build).

The program is started the way systemd starts a Type=notify service: the
registered command line, NOTIFY_SOCKET pointing at a datagram socket this
test owns, SIGTERM to stop it. Its syslog copies go to a socket of the test
(VELMORA_SYSLOG_SOCKET). Also: the foreground mode, the help verb, and a run
by hand outside any service manager.

The install, uninstall and control verbs run against systemd's command-line
interface; no systemd runs on the test machines, so systemctl is the test
double tests/service/systemctl_double.py (VELMORA_SYSTEMCTL), the unit folder
and systemd's runtime folder are the test's (VELMORA_SYSTEMD_UNIT_DIR,
VELMORA_SYSTEMD_RUNTIME_DIR; without the runtime folder systemd counts as not
running), and so is the registry (VELMORA_REGISTRY_ROOT).
"""
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

from velmoratest import harness, temp_folder
from velmoratest.harness import Connection

DISPLAY_NAME = "Harbrook Velmora Service"
SERVICE_NAME = "HarbrookVelmoraService"
IDENTITY = "HarbrookVelmoraService"  # syslog identity: the display name without its spaces
DESCRIPTION = "Provides a Velmora service that can be used by the Norvane/Belco setups."
USAGE = "VelmoraService [-uninstall | -start | -stop | -help | -? ]\n"
UNIT = SERVICE_NAME + ".service"
SYSTEMCTL_DOUBLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service", "systemctl_double.py")
SOURCE_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"
REG_SZ, REG_DWORD, REG_MULTI_SZ = 1, 4, 7
NOT_INSTALLED = "Error:1060, The specified service does not exist as an installed service."
NO_SYSTEMD = "Error:1063, The service process could not connect to the service controller."


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


def read_registry(folder):
    """The POSIX registry file of a registry folder: {key path below
    HKEY_LOCAL_MACHINE: {value name: (type, bytes)}}."""
    def unquote(name):
        return re.sub(r"\\u\{([0-9a-fA-F]+)\}|\\(.)",
                      lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2), name)

    keys, path = {}, []
    with open(os.path.join(folder, "HKEY_LOCAL_MACHINE.reg"), encoding="utf-8") as f:
        for line in f.read().splitlines():
            m = re.match(r'^key \d+ (\d+) "(.*)"$', line)
            if m:
                path = path[:int(m.group(1))] + [unquote(m.group(2))]
                keys["\\".join(path[1:])] = {}
                continue
            m = re.match(r'^value (\d+) \d+ "(.*)"(?: ([0-9a-f]*))?$', line)
            if m:
                keys["\\".join(path[1:])][unquote(m.group(2))] = (int(m.group(1)), bytes.fromhex(m.group(3) or ""))
    return keys


def multi_string(data):
    return [s for s in data.decode("utf-16-le").split("\0") if s]


def unit_settings(text):
    """{setting: value} of a unit file (the last occurrence of each name)."""
    settings = {}
    for line in text.splitlines():
        name, sep, value = line.partition("=")
        if sep and not line.startswith("#"):
            settings[name] = value
    return settings


def exec_start_words(value):
    """The argument vector systemd makes of an ExecStart= value of plain and
    double-quoted words (specifiers and variables doubled)."""
    return [w.replace("%%", "%").replace("$$", "$") for w in shlex.split(value)]


@unittest.skipIf(harness.UNDER_WINE, "systemd's notify protocol and syslog are the Linux build's service manager")
class SystemdStyleServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = temp_folder(self, "velmora-service-")
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
            self.assertEqual(self.notifications_until("READY=1\nSTATUS=Running"),
                             ["STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=1000000", "READY=1\nSTATUS=Running"])
            # Ready means serving: the port answers at once.
            c = Connection(self.port)
            self.assertEqual(c.request("GET /packages/a.zip HTTP/1.1")[3], b"service-served")
            c.close()

            prefix = f"<30>{IDENTITY}[{proc.pid}]: "
            lines = self.syslog_lines(until="Transmitting file a.zip completed...")
            # "started" once the server listens, after the lines of its start-up.
            self.assertEqual(lines[:4], [prefix + f"Logging to: '{self.log}'.",
                                         prefix + f"Initialize Listener: PackagePath='{self.packages}', "
                                                  f"Port='{self.port}'.",
                                         prefix + "CHTTPUpdateServiceThread Initialized!.",
                                         prefix + f'"{DISPLAY_NAME}" started successfully.'])
            self.assertIn(prefix + "Request for: '/packages/a.zip'.", lines)
            self.assertIn(prefix + f"200_OK => '{self.packages}/a.zip'.", lines)

            proc.send_signal(signal.SIGTERM)
            # STOPPING=1 once, then the end.
            self.assertEqual(self.notify.recv(4096).decode(), "STOPPING=1\nSTATUS=Stopping, checkpoint 1\n"
                                                              "EXTEND_TIMEOUT_USEC=1100000")
            self.assertEqual(self.notify.recv(4096).decode(), "STATUS=Stopped")
            self.assertEqual(proc.wait(60), 0)
            stopped = self.syslog_lines(until="stopped")
            self.assertEqual(stopped[-1], prefix + f'"{DISPLAY_NAME}" stopped successfully.')
            self.assertEqual(proc.stdout.read(), b"")
            self.assertTrue(harness.port_is_closed(self.port))
        finally:
            end(proc)

    def test_sighup_is_ignored_sigint_stops_and_an_unwritable_log_file_is_reported_once(self):
        # Without -logevents only the start, the stop and the log file's failure reach syslog.
        self.log = os.path.join(self.dir, "missing", "log.txt")
        proc = self.start()
        try:
            self.notifications_until("READY=1\nSTATUS=Running")
            proc.send_signal(signal.SIGHUP)
            proc.send_signal(signal.SIGINT)
            self.assertEqual(proc.wait(60), 0)
            lines = [re.sub(r"\[\d+\]: ", ": ", line, count=1) for line in self.syslog_lines(until="stopped")]
            self.assertEqual(lines, [f"<27>{IDENTITY}: The log file '{self.log}' cannot be written (error 2, No such "
                                     "file or directory); its lines are dropped until it can be written again.",
                                     f'<30>{IDENTITY}: "{DISPLAY_NAME}" started successfully.',
                                     f'<30>{IDENTITY}: "{DISPLAY_NAME}" stopped successfully.'])
        finally:
            end(proc)

    def test_a_port_held_by_another_process_fails_the_service_without_it_ever_being_ready(self):
        holder = socket.socket()
        holder.bind(("0.0.0.0", self.port))
        holder.listen(1)
        proc = self.start()
        try:
            seen = []
            while not seen or not seen[-1].startswith("STATUS=Stopped"):
                seen.append(self.notify.recv(4096).decode())
            # A start-pending checkpoint for the first attempt and each of the 20 retries, then the failure.
            self.assertEqual(seen, ["STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=1000000"] +
                             [f"STATUS=Starting, checkpoint {n}\nEXTEND_TIMEOUT_USEC=3000000" for n in range(2, 22)] +
                             ["STATUS=Stopped, Win32 exit code 1066, service-specific exit code 10048"])
            self.assertEqual(proc.wait(60), 1066 % 256)
            self.syslog.setblocking(False)
            lines = []
            while True:
                try:
                    lines.append(self.syslog.recv(65536).decode())
                except BlockingIOError:
                    break
            self.assertEqual(lines, [f'<27>{IDENTITY}[{proc.pid}]: Starting process "{DISPLAY_NAME}" failed. '
                                     f'Error: "could not listen on port {self.port} after 21 attempts: 10048, '
                                     'Address already in use".'])
        finally:
            end(proc)
            holder.close()

    def test_a_server_address_that_is_no_address_stops_the_service_with_87(self):
        proc = self.start("-serveraddress:nonsense")
        try:
            self.assertEqual(self.notifications_until("STATUS=Stopped, Win32 exit code 87, service-specific exit code 0"),
                             ["STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=1000000",
                              "STATUS=Stopped, Win32 exit code 87, service-specific exit code 0"])
            self.assertEqual(proc.wait(60), 87)
            self.assertEqual(self.syslog_lines(until="failed"),
                             [f'<27>{IDENTITY}[{proc.pid}]: Starting process "{DISPLAY_NAME}" failed. Error: "the server '
                              "address 'nonsense' is not an IPv4 or IPv6 address: 87, Invalid argument\"."])
            with open(self.log, "rb") as f:
                self.assertTrue(f.read().endswith(b": Cannot start: the server address 'nonsense' is not an IPv4 or IPv6 "
                                                  b"address (error 87, Invalid argument)\r\n"))
        finally:
            end(proc)

    def test_a_packages_folder_others_can_fill_is_warned_of_at_every_start(self):
        warning = (f"Warning: the packages folder '{self.packages}' can be filled by others than administrators: "
                   f"'other users' can write to '{self.packages}'")
        for mode, expected in ((0o777, warning), (0o755, None)):
            with self.subTest(mode=oct(mode)):
                os.chmod(self.packages, mode)
                open(self.log, "wb").close()
                proc = self.start()
                try:
                    self.notifications_until("READY=1\nSTATUS=Running")
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(60), 0)
                    # Without -logevents, the warning is the one syslog line beside the start and the stop.
                    lines = [re.sub(r"\[\d+\]: ", ": ", line, count=1) for line in self.syslog_lines(until="stopped")]
                    self.assertEqual(lines[:-2], [f"<28>{IDENTITY}: {expected}."] if expected else [])
                    with open(self.log, "rb") as f:
                        warned = [line for line in f.read().decode().split("\r\n") if "Warning:" in line]
                    self.assertEqual([line.split(": ", 2)[2] for line in warned], [expected] if expected else [])
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
            # Several rounds: Ctrl+C is handled on a thread of its own while
            # the service body returns and its object goes away, so a stop
            # that touched the object after asking the application to quit
            # failed only now and then (the sanitizer build reports it).
            for round_number in range(3):
                port = harness.free_port()
                log = os.path.join(root, "log.txt")
                proc = subprocess.Popen([harness.PROGRAM, "/console", f"-serverport:{port}",
                                         f"-packagespath:{root}", f"-logfile:{log}"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    wait_for_port(port)
                    c = Connection(port)
                    self.assertEqual(c.request("GET /packages/p.zip HTTP/1.1")[3], b"foreground")
                    c.close()
                    proc.send_signal(signal.SIGINT)
                    code = proc.wait(60)
                    self.assertEqual(code, 0, f"round {round_number}: {proc.stderr.read().decode(errors='replace')}")
                    # The service owns the application: nothing is echoed to a console.
                    self.assertEqual(proc.stdout.read(), b"")
                    with open(log, "rb") as f:
                        self.assertIn(b"Request for: '/packages/p.zip'\r\n", f.read())
                finally:
                    end(proc)
        finally:
            shutil.rmtree(root, ignore_errors=True)


@unittest.skipIf(harness.UNDER_WINE, "systemd is the Linux build's service manager")
class SystemdInstallAndVerbsTest(unittest.TestCase):
    """-install, -start, -pause, -continue, -stop and -uninstall against
    systemd's command-line interface (a test double), and what each prints."""

    def setUp(self):
        self.dir = temp_folder(self, "velmora-systemd-verbs-")
        self.units = os.path.join(self.dir, "units")
        self.runtime = os.path.join(self.dir, "run-systemd-system")
        self.double = os.path.join(self.dir, "double")
        self.registry = os.path.join(self.dir, "registry")
        for folder in (self.units, self.runtime, self.double):
            os.makedirs(folder)
        systemctl = os.path.join(self.dir, "systemctl")
        with open(systemctl, "w") as f:
            f.write(f"#!/bin/sh\nexec '{sys.executable}' '{SYSTEMCTL_DOUBLE}' \"$@\"\n")
        os.chmod(systemctl, stat.S_IRWXU)
        self.syslog = datagram_socket(os.path.join(self.dir, "syslog"))
        self.syslog.setblocking(False)
        self.env = dict(os.environ, VELMORA_SYSTEMCTL=systemctl, VELMORA_SYSTEMD_UNIT_DIR=self.units,
                        VELMORA_SYSTEMD_RUNTIME_DIR=self.runtime, VELMORA_SYSTEMCTL_DOUBLE_DIR=self.double,
                        VELMORA_REGISTRY_ROOT=self.registry, VELMORA_SYSLOG_SOCKET=os.path.join(self.dir, "syslog"))
        self.env.pop("NOTIFY_SOCKET", None)

    def tearDown(self):
        self.syslog.close()

    def run_verb(self, *args, program=harness.PROGRAM):
        """(exit status, standard output, standard error) of one run of the program."""
        result = subprocess.run([program, *args], stdin=subprocess.DEVNULL, capture_output=True,
                                env=self.env, timeout=60)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def calls(self):
        """The systemctl commands run since the last look."""
        path = os.path.join(self.double, "calls.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        os.remove(path)
        return lines

    def events(self):
        """The syslog lines written since the last look, without the process id."""
        lines = []
        while True:
            try:
                lines.append(re.sub(r"\[\d+\]: ", ": ", self.syslog.recv(65536).decode(), count=1))
            except BlockingIOError:
                return lines

    def unit_text(self):
        with open(os.path.join(self.units, UNIT), encoding="utf-8") as f:
            return f.read()

    def event_source(self):
        """The event source's key, and the "Sources" list of the log."""
        keys = read_registry(self.registry)
        return keys.get(SOURCE_KEY + "\\" + DISPLAY_NAME), multi_string(keys[SOURCE_KEY]["Sources"][1])

    def test_install_writes_the_unit_that_systemd_runs_then_control_and_uninstall(self):
        # An option that the service would not get as given is refused, and nothing is installed.
        refused = ("The option '-packagespath:/srv/a\"b' cannot be installed: a double quote or a tab in an option "
                   "would not reach the service as given, Error:87, Invalid argument\n")
        self.assertEqual(self.run_verb("-install", '-packagespath:/srv/a"b'), (87, "", refused))
        self.assertEqual(self.run_verb("-install", "-logfile:/var/log/a\tb", "-silent"), (87, "", ""))
        self.assertEqual(self.run_verb("-install", "-serveraddress:[10.0.0.1]"),
                         (87, "", "The option '-serveraddress:[10.0.0.1]' cannot be installed: it is not an IPv4 or IPv6 "
                                  "address, Error:87, Invalid argument\n"))
        self.assertEqual((os.listdir(self.units), self.calls()), ([], []))
        # Any other character reaches the service unchanged.
        packages = os.path.join(self.dir, "pk%1$HOME;'\u00e9")
        os.makedirs(packages)
        with open(os.path.join(packages, "a.zip"), "wb") as f:
            f.write(b"installed-served")
        log = os.path.join(self.dir, "log.txt")
        port = harness.free_port()

        # The options in any order: registered in the fixed order, after two spaces.
        self.assertEqual(self.run_verb("-headsizes", "-logevents", f"-logfile:{log}", "-install",
                                       f"-packagespath:{packages}", "-serveraddress:127.0.0.1", f"-serverport:{port}"),
                         (0, "", ""))
        options = (f"-serverport:{port} -serveraddress:127.0.0.1 -packagespath:{packages} -logfile:{log} -logevents "
                   "-headsizes")
        unit = unit_settings(self.unit_text())
        self.assertEqual(unit["CommandLine"], f"{harness.PROGRAM}  {options}")
        self.assertEqual(exec_start_words(unit["ExecStart"]), [harness.PROGRAM, *options.split(" ")])
        self.assertEqual(unit["Type"], "notify")
        self.assertEqual((unit["ServiceName"], unit["DisplayName"], unit["Description"]),
                         (SERVICE_NAME, DISPLAY_NAME, DESCRIPTION))
        self.assertEqual((unit["StartType"], unit["WantedBy"]), ("2", "multi-user.target"))  # automatic start
        self.assertEqual(self.calls(), ["daemon-reload", f"enable {UNIT}"])
        self.assertEqual(self.events(), [f'<30>{IDENTITY}: "{DISPLAY_NAME}" was successfully installed.'])
        source, sources = self.event_source()
        self.assertEqual(source, {"EventMessageFile": (REG_SZ, (harness.PROGRAM + "\0").encode("utf-16-le")),
                                  "TypesSupported": (REG_DWORD, b"\7\0\0\0")})
        self.assertEqual(sources, [DISPLAY_NAME])
        # A second install fails at CreateService.
        self.assertEqual(self.run_verb("-install"), (1073 % 256, "", "CNTService::Install, Failed call to "
                                                     "CreateService, Error:1073, The specified service already "
                                                     "exists.\n"))

        # What systemd runs: the ExecStart= words, with its notify socket.
        notify = datagram_socket(os.path.join(self.dir, "notify"))
        proc = subprocess.Popen(exec_start_words(unit["ExecStart"]), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(self.env, NOTIFY_SOCKET=os.path.join(self.dir, "notify")))
        try:
            while notify.recv(4096).decode() != "READY=1\nSTATUS=Running":
                pass
            wait_for_port(port)
            c = Connection(port)
            self.assertEqual(c.request("GET /packages/a.zip HTTP/1.1")[3], b"installed-served")
            c.close()
            self.assertTrue(harness.port_is_closed(port, host="::1"), "listening on the one address given")
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(60), 0)
            with open(log, "rb") as f:
                self.assertIn(b"Request for: '/packages/a.zip'\r\n", f.read())
            events = self.events()
            self.assertIn(f'<30>{IDENTITY}: "{DISPLAY_NAME}" started successfully.', events)
            self.assertIn(f"<30>{IDENTITY}: Request for: '/packages/a.zip'.", events)
            self.assertEqual(events[-1], f'<30>{IDENTITY}: "{DISPLAY_NAME}" stopped successfully.')
        finally:
            end(proc)
            notify.close()

        # The control verbs through systemctl; pause is refused, as it is for a service that accepts only stop.
        self.assertEqual(self.run_verb("-start"), (0, "", ""))
        # The socket unit that listens for the service is started and stopped with it.
        socket_unit = UNIT.replace(".service", ".socket")
        self.assertIn(f"start --no-block {socket_unit} {UNIT}", self.calls())
        self.assertEqual(self.run_verb("-pause"), (1052 % 256, "", "Failed to pause the service, Error:1052, The "
                                                   "requested control is not valid for this service.\n"))
        self.assertEqual(self.run_verb("-pause", "-silent"), (1052 % 256, "", ""))
        self.assertEqual(self.run_verb("-continue"), (0, "", ""))  # running already
        self.assertEqual(self.run_verb("-stop"), (0, "", ""))
        self.assertIn(f"stop --no-block {socket_unit} {UNIT}", self.calls())
        self.assertEqual(self.run_verb("-stop"), (0, "", ""))
        self.assertNotIn(f"stop --no-block {socket_unit} {UNIT}", self.calls())  # stopped already: nothing sent

        # Uninstall: the unit, its automatic start and its event source are gone.
        self.events()
        self.assertEqual(self.run_verb("-uninstall"), (0, "", ""))
        self.assertEqual(self.calls()[-3:], [f"disable {UNIT}", f"stop {socket_unit}", "daemon-reload"])
        self.assertFalse(os.path.exists(os.path.join(self.units, UNIT)))
        self.assertFalse(os.path.exists(os.path.join(self.units, socket_unit)))
        self.assertFalse(os.path.lexists(os.path.join(self.units, "multi-user.target.wants", UNIT)))
        self.assertEqual(self.event_source(), (None, []))
        self.assertEqual(self.events(), [])  # no event reports a successful uninstall

    def test_install_from_a_path_longer_than_260_characters_registers_the_whole_path(self):
        folder = self.dir
        while len(folder) < 300:
            folder = os.path.join(folder, "a-folder-with-a-long-name")
        os.makedirs(folder)
        program = os.path.join(folder, "VelmoraService")
        shutil.copy2(harness.PROGRAM, program)
        self.assertEqual(self.run_verb("-install", "-serverport:1991", program=program), (0, "", ""))
        unit = unit_settings(self.unit_text())
        self.assertEqual(exec_start_words(unit["ExecStart"]), [program, "-serverport:1991"])
        self.assertEqual(unit["CommandLine"], f"{program}  -serverport:1991")
        self.assertEqual(self.event_source()[0]["EventMessageFile"], (REG_SZ, (program + "\0").encode("utf-16-le")))

    def test_install_makes_a_missing_packages_folder_and_warns_of_one_others_can_fill(self):
        made = os.path.join(self.dir, "made", "packages")
        self.assertEqual(self.run_verb("-install", f"-packagespath:{made}/"), (0, "", ""))
        self.assertEqual([stat.S_IMODE(os.stat(folder).st_mode) for folder in (made, os.path.dirname(made))],
                         [0o755, 0o755])
        self.assertEqual(self.run_verb("-uninstall")[0], 0)
        packages = os.path.join(self.dir, "open")
        os.makedirs(packages)
        warning = (f"Warning: the packages folder '{packages}' can be filled by others than administrators: "
                   f"'other users' can write to '{packages}'\n")
        for mode, silent, expected in ((0o777, False, warning), (0o777, True, ""), (0o755, False, "")):
            with self.subTest(mode=oct(mode), silent=silent):
                os.chmod(packages, mode)
                # Warned of, never refused.
                self.assertEqual(self.run_verb("-install", f"-packagespath:{packages}", *["-silent"] * silent),
                                 (0, "", expected))
                self.assertEqual(self.run_verb("-uninstall")[0], 0)

    def test_verbs_on_a_service_that_is_not_installed(self):
        failures = {
            "-start": f"Failed to start the service, {NOT_INSTALLED}",
            "-stop": f"Failed to stop the service, {NOT_INSTALLED}",
            "-pause": f"Failed to pause the service, {NOT_INSTALLED}",
            "-continue": f"Failed to continue the service, {NOT_INSTALLED}",
            "-uninstall": f"CNTService::Uninstall, Failed call to OpenService, {NOT_INSTALLED}",
        }
        for verb, message in failures.items():
            with self.subTest(verb=verb):
                self.assertEqual(self.run_verb(verb), (1060 % 256, "", message + "\n"))
                self.assertEqual(self.run_verb(verb, "-silent"), (1060 % 256, "", ""))
                self.assertEqual(self.events(), [f"<27>{IDENTITY}: Failed to open the service, Error: 1060, "
                                                 "The specified service does not exist as an installed service.."] * 2)

    def test_without_systemd_the_verbs_fail_with_their_messages_and_touch_nothing(self):
        os.rmdir(self.runtime)
        failures = {
            "-install": f"CNTService::Install, Failed call to open SCM, {NO_SYSTEMD}",
            "-uninstall": f"CNTService::Uninstall, Failed call to open SCM, {NO_SYSTEMD}",
            "-start": f"Failed to start the service, {NO_SYSTEMD}",
            "-stop": f"Failed to stop the service, {NO_SYSTEMD}",
            "-pause": f"Failed to pause the service, {NO_SYSTEMD}",
            "-continue": f"Failed to continue the service, {NO_SYSTEMD}",
        }
        for verb, message in failures.items():
            with self.subTest(verb=verb):
                self.assertEqual(self.run_verb(verb, f"-serverport:{1991}"), (1063 % 256, "", message + "\n"))
                self.assertEqual(self.run_verb(verb, "-silent"), (1063 % 256, "", ""))
        self.assertEqual(os.listdir(self.units), [])
        self.assertFalse(os.path.exists(self.registry))
        self.assertEqual(self.calls(), [])
        # Uninstall and the control verbs report the failed connection as an event; install writes none.
        self.assertEqual(self.events(), [f"<27>{IDENTITY}: Failed to connect to the Service Control Manager, "
                                         "Error: 1063, The service process could not connect to the service "
                                         "controller.."] * 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
