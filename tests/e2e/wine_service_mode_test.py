"""End to end: VelmoraService.exe as a real service of Wine's service control
manager (Windows build), with the HTTP client on the Linux side.

The program installs itself with its options (read back from the registry),
starts, serves a package and a listing, logs the requests to its file and
copies every log line to the event log, refuses a pause, stops, starts by
itself when Wine boots again (automatic start), and removes itself, running,
and its event source; every verb's exit status is checked, also on a
service that is not installed, where the failure text appears in a message
box unless "-silent" was given. Events and message boxes are read from
Wine's traces (see velmoratest/wine.py).

Runs in a Wine prefix of its own (VELMORA_E2E_SERVICE_WINEPREFIX, by default
e2e-service-wineprefix next to the program). Set by ctest: VELMORA_PROGRAM,
VELMORA_WINE=1, VELMORA_SCM_PROBE.
"""
import os
import shutil
import socket
import time
import unittest

from velmoratest import harness
from velmoratest.harness import Connection
from velmoratest.wine import (EVENT_SOURCE_KEY, FAILURE_ACTIONS_TRACE, SERVICE_DESCRIPTION, SERVICE_DISPLAY,
                              SERVICE_KEY, SERVICE_NAME, held_prefix, message_boxes, trace_events, winpath)

PROGRAM = harness.PROGRAM
SCM_PROBE = os.environ.get("VELMORA_SCM_PROBE", "")
PREFIX = os.environ.get("VELMORA_E2E_SERVICE_WINEPREFIX") or os.path.join(
    os.path.dirname(os.path.abspath(PROGRAM or ".")), "e2e-service-wineprefix")

NAME, DISPLAY, DESCRIPTION, SOURCE_KEY = SERVICE_NAME, SERVICE_DISPLAY, SERVICE_DESCRIPTION, EVENT_SOURCE_KEY
USAGE = "VelmoraService [-uninstall | -start | -stop | -help | -? ]\n"
STARTED, STOPPED, INSTALLED, LOG_LINE = 0x40000001, 0x40000003, 0x40000002, 0x40000010
INFORMATION, WARNING, ERROR = 4, 2, 1
PACKAGE = bytes(range(256)) * 600  # 150 KiB, every byte value


def exit_status(win32_code):
    """A Windows exit code as `wine` hands it to a POSIX parent."""
    return win32_code % 256


def log_messages(path):
    """The message part of every line of a log file."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except FileNotFoundError:
        return []
    messages = []
    for line in text.split("\r\n")[:-1]:
        m = harness.LINE_PREFIX.match(line)
        messages.append(line[m.end():] if m else line)
    return messages


@unittest.skipUnless(harness.UNDER_WINE, "the Windows build under Wine's service control manager")
class WineServiceModeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        assert PROGRAM and SCM_PROBE, "VELMORA_PROGRAM and VELMORA_SCM_PROBE"
        cls.prefix = held_prefix(cls, PREFIX, SCM_PROBE)
        cls.dir = cls.prefix.dir
        cls.prefix.remove_service(NAME, SOURCE_KEY)  # left by an interrupted run

    @classmethod
    def tearDownClass(cls):
        cls.prefix.remove_service(NAME, SOURCE_KEY)

    def program(self, *args, timeout=60):
        """Runs the program with the event-log trace and the message-box
        trace on: (exit status, output, events it wrote, message boxes)."""
        code, output, trace = self.prefix.wine(PROGRAM, *args, debug="-all,+eventlog,fixme+advapi,+relay",
                                               timeout=timeout)
        return code, output, [e[1:] for e in trace_events(trace) if e[0] == DISPLAY], message_boxes(trace)

    def service_events(self, since):
        """(type, id, strings) of the events of this program's source in the holder's trace."""
        trace = self.prefix.trace_bytes()[since:].decode("utf-8", "replace")
        return [e[1:] for e in trace_events(trace) if e[0] == DISPLAY]

    def wait_for(self, predicate, what, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.1)
        self.fail(f"never: {what}")

    def state(self):
        # Wine's sc now and then prints nothing for a service that exists
        # (under load its own call to the service manager fails): ask again.
        for _ in range(3):
            state = self.prefix.sc_query(NAME).get("STATE", "")
            if state:
                return state
            time.sleep(0.5)
        return state

    # -- the service's life --------------------------------------------------

    def test_install_start_serve_stop_and_uninstall(self):
        self.addCleanup(self.prefix.remove_service, NAME, SOURCE_KEY)
        packages = os.path.join(self.dir, "packages")
        os.makedirs(os.path.join(packages, "sub"), exist_ok=True)
        with open(os.path.join(packages, "a.zip"), "wb") as f:
            f.write(PACKAGE)
        with open(os.path.join(packages, "sub", "b.zip"), "wb") as f:
            f.write(b"b")
        log = os.path.join(self.dir, "service-log.txt")
        port = harness.free_port()
        since = len(self.prefix.trace_bytes())

        # Install: the registration, with the options appended in their fixed order.
        code, output, events, boxes = self.program("-install", "-headsizes", f"-packagespath:{winpath(packages)}",
                                                   f"-serverport:{port}", "-serveraddress:127.0.0.1",
                                                   f"-logfile:{winpath(log)}", "-logevents")
        self.assertEqual((code, output, boxes), (0, "", []))
        self.assertEqual(events, [(INFORMATION, INSTALLED, [DISPLAY])])
        executable = winpath(PROGRAM)
        if " " in executable:
            executable = f'"{executable}"'
        config = self.prefix.reg_values(SERVICE_KEY)
        self.assertIsNotNone(config, "the service's registry key")
        self.assertEqual(config["ImagePath"][1], f"{executable}  -serverport:{port} -serveraddress:127.0.0.1 "
                                                 f"-packagespath:{winpath(packages)} -logfile:{winpath(log)} -logevents "
                                                 "-headsizes")
        self.assertEqual(config["DisplayName"], ("REG_SZ", DISPLAY))
        self.assertEqual(config["Description"], ("REG_SZ", DESCRIPTION))
        self.assertEqual(config["Start"], ("REG_DWORD", "0x2"))  # automatic start
        self.assertEqual(config["Type"], ("REG_DWORD", "0x10"))  # own process
        self.assertEqual(config["ObjectName"], ("REG_SZ", "LocalSystem"))
        self.assertEqual(self.prefix.reg_values(SOURCE_KEY), {"EventMessageFile": ("REG_SZ", winpath(PROGRAM)),
                                                              "TypesSupported": ("REG_DWORD", "0x7")})
        self.assertTrue(self.state().startswith("1"), "installed, not started")
        # Failure actions (restart 5 s after a crash): Wine 8's service manager takes them without keeping
        # them, so its registry has nothing to read back; its trace shows what arrived.
        trace = self.prefix.trace_bytes()[since:].decode("utf-8", "replace")
        self.assertIn(FAILURE_ACTIONS_TRACE, trace)

        # A second install fails at CreateService: silently with -silent, else in a message box.
        code, output, events, boxes = self.program("-install", "-silent")
        self.assertEqual((code, output, events, boxes), (exit_status(1073), "", [], []))
        code, output, _, boxes = self.program("-install")
        self.assertEqual((code, output), (exit_status(1073), ""))
        self.assertEqual(len(boxes), 1, boxes)
        self.assertTrue(boxes[0][0].startswith("CNTService::Install, Failed call to CreateService, Error:1073, "),
                        boxes)
        self.assertEqual(boxes[0][1:], ("VelmoraService.exe", 0))

        # Start: running, accepting only stop, serving.
        code, output, events, boxes = self.program("-start")
        self.assertEqual((code, output, events, boxes), (0, "", [], []))
        self.assertEqual(self.state(), "4  RUNNING")
        _, output, _ = self.prefix.wine(SCM_PROBE, "control", NAME, "4")  # interrogate
        self.assertEqual(output.strip(), "result=1 error=0 state=4 checkpoint=0 waithint=0 controls=1")
        c = Connection(port)  # running means listening
        self.assertTrue(harness.port_is_closed(port, host="::1"), "listening on the one address given")
        status, headers, _, body = c.request("GET /packages/a.zip HTTP/1.1")
        self.assertEqual((status, headers["Content-Type"], body), ("HTTP/1.1 200 OK", "application/octet-stream",
                                                                    PACKAGE))
        status, headers, _, body = c.request("GET /packages/sub/ListFolderContents.asp HTTP/1.1")
        self.assertEqual((status, body), ("HTTP/1.1 200 OK",
                                          b'<FileIndex><Folder Name="sub"><File Name="b.zip" /></Folder></FileIndex>'))
        # The connection stays open, as a setup program's does, until the service stops.
        self.wait_for(lambda: "Request for: '/packages/sub/ListFolderContents.asp'" in log_messages(log),
                      "the listing request in the log")

        # The events so far: one copy of every log line, in the log's order (a
        # line is copied right after it is written to the file), and "started"
        # once the listener listens.
        deadline = time.time() + 30
        while True:
            messages, events = log_messages(log), self.service_events(since)
            copies = [e for e in events if e[1] == LOG_LINE]
            if copies == [(INFORMATION, LOG_LINE, [m]) for m in messages] or time.time() > deadline:
                break
            time.sleep(0.1)
        self.assertEqual(copies, [(INFORMATION, LOG_LINE, [m]) for m in messages])
        self.assertEqual(events[3], (INFORMATION, STARTED, [DISPLAY]))
        self.assertEqual(events[2], (INFORMATION, LOG_LINE, ["CHTTPUpdateServiceThread Initialized!"]))
        self.assertEqual(messages[0], f"Logging to: '{winpath(log)}'")
        self.assertIn("Request for: '/packages/a.zip'", messages)
        self.assertIn(f"200_OK => '{winpath(packages)}\\a.zip'", messages)
        self.assertIn("Transmitting file a.zip completed...", messages)

        # Pause is refused (only stop is accepted); a second start sends nothing.
        code, output, events, boxes = self.program("-pause", "-silent")
        self.assertEqual((code, output, boxes), (exit_status(1052), "", []))
        self.assertEqual([e[:2] for e in events], [(ERROR, 0xC000000D)])
        self.assertTrue(events[0][2][0].startswith("1052, "), events)
        code, output, events, boxes = self.program("-start")
        self.assertEqual((code, output, events, boxes), (0, "", [], []))
        self.assertEqual(self.state(), "4  RUNNING")

        # Stop: the open connection is closed, "stopped" is the service's last
        # event; a second stop sends nothing.
        code, output, events, boxes = self.program("-stop")
        self.assertEqual((code, output, events, boxes), (0, "", [], []))
        self.assertEqual(c.sock.recv(1), b"")
        c.close()
        fields = self.prefix.sc_query(NAME)
        self.assertEqual((fields["STATE"], fields["WIN32_EXIT_CODE"]), ("1  STOPPED", "0  (0x0)"))
        self.assertTrue(harness.port_is_closed(port))
        events = self.service_events(since)
        self.assertEqual(events[-1], (INFORMATION, STOPPED, [DISPLAY]))
        self.assertEqual([e for e in events if e[1] != LOG_LINE], [(INFORMATION, STARTED, [DISPLAY]),
                                                                  (INFORMATION, STOPPED, [DISPLAY])])
        self.assertEqual([e[2][0] for e in events if e[1] == LOG_LINE], log_messages(log))
        code, output, events, boxes = self.program("-stop")
        self.assertEqual((code, output, events, boxes), (0, "", [], []))

        # The system restarts: the service starts by itself and serves again.
        self.prefix.restart()
        self.wait_for(lambda: self.state() == "4  RUNNING", "the automatic start")
        c = Connection(port)
        self.assertEqual(c.request("GET /packages/sub/b.zip HTTP/1.1")[3], b"b")
        c.close()

        # Uninstall of the running service: stopped first, then removed with its event source.
        code, output, events, boxes = self.program("-uninstall")
        self.assertEqual((code, output, events, boxes), (0, "", [], []))
        self.assertEqual(self.prefix.sc_query(NAME), {})
        self.assertIsNone(self.prefix.reg_values(SERVICE_KEY))
        self.assertIsNone(self.prefix.reg_values(SOURCE_KEY))
        self.wait_for(lambda: harness.port_is_closed(port), "the port closed")
        events = self.service_events(since)
        self.assertEqual([e for e in events if e[1] != LOG_LINE], [(INFORMATION, STARTED, [DISPLAY]),
                                                                  (INFORMATION, STOPPED, [DISPLAY])] * 2)
        self.assertEqual(events[-1], (INFORMATION, STOPPED, [DISPLAY]))
        self.assertEqual([e[2][0] for e in events if e[1] == LOG_LINE], log_messages(log))
        self.assertIn("Request for: '/packages/sub/b.zip'", log_messages(log))

    def test_a_packages_folder_everyone_can_fill_is_warned_of_at_install_and_at_start(self):
        self.addCleanup(self.prefix.remove_service, NAME, SOURCE_KEY)
        packages = os.path.join(self.dir, "rights-packages")
        os.makedirs(packages, exist_ok=True)
        log = os.path.join(self.dir, "rights-log.txt")
        warning = (f"Warning: the packages folder '{winpath(packages)}' can be filled by others than administrators: "
                   f"'Everyone' can write to '{winpath(packages)}'")
        # Wine keeps no security descriptor of a file (a DACL given to one becomes its mode bits), but
        # makes one up from the mode bits: others' write bit is Everyone's right to write.
        for mode, expected in ((0o777, [warning]), (0o755, [])):
            with self.subTest(mode=oct(mode)):
                os.chmod(packages, mode)
                # Warned of in a message box, never refused.
                code, output, _, boxes = self.program("-install", f"-packagespath:{winpath(packages)}",
                                                      f"-serverport:{harness.free_port()}", f"-logfile:{winpath(log)}")
                self.assertEqual((code, output, [box[0] for box in boxes]), (0, "", expected))
                # At start: in the log file and as a warning event.
                since = len(self.prefix.trace_bytes())
                self.assertEqual(self.program("-start", "-silent")[0], 0)
                self.assertEqual([e for e in self.service_events(since) if e[0] == WARNING],
                                 [(WARNING, LOG_LINE, expected)] if expected else [])
                self.assertEqual([m for m in log_messages(log) if m.startswith("Warning:")], expected)
                self.assertEqual(self.program("-uninstall", "-silent")[0], 0)
                os.remove(log)

    def test_install_from_a_path_longer_than_260_characters_registers_the_whole_path(self):
        self.addCleanup(self.prefix.remove_service, NAME, SOURCE_KEY)
        folder = self.dir
        while len(winpath(folder)) < 300:
            folder = os.path.join(folder, "a-folder-with-a-long-name")
        os.makedirs(folder)
        program = os.path.join(folder, "VelmoraService.exe")
        shutil.copy2(PROGRAM, program)
        self.assertEqual(self.prefix.wine(program, "-install", "-serverport:1991", "-silent")[:2], (0, ""))
        self.assertEqual(self.prefix.reg_values(SERVICE_KEY)["ImagePath"][1], f"{winpath(program)}  -serverport:1991")
        self.assertEqual(self.prefix.reg_values(SOURCE_KEY)["EventMessageFile"], ("REG_SZ", winpath(program)))
        # A failure's message box is captioned with the program's file name.
        code, _, trace = self.prefix.wine(program, "-install", debug="-all,+relay")
        self.assertEqual((code, [box[1] for box in message_boxes(trace)]), (exit_status(1073), ["VelmoraService.exe"]))

    def test_a_port_held_by_another_process_stops_the_service_as_failed(self):
        self.addCleanup(self.prefix.remove_service, NAME, SOURCE_KEY)
        holder = socket.socket()
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        self.addCleanup(holder.close)
        port = holder.getsockname()[1]
        code, output, _, boxes = self.program("-install", f"-serverport:{port}")
        self.assertEqual((code, output, boxes), (0, "", []))
        since = len(self.prefix.trace_bytes())

        # Start-pending while the port is retried; the wait ends when the service gives up.
        code, output, _, boxes = self.program("-start", "-t:120000", timeout=150)
        self.assertEqual((code, output), (exit_status(1066), ""))
        self.assertEqual(len(boxes), 1, boxes)
        self.assertTrue(boxes[0][0].startswith("Failed to start the service, Error:1066, "), boxes)
        self.assertIn(" Service-specific error:10048, ", boxes[0][0])
        fields = self.prefix.sc_query(NAME)
        self.assertEqual((fields["STATE"], fields["WIN32_EXIT_CODE"], fields["SERVICE_EXIT_CODE"]),
                         ("1  STOPPED", "1066  (0x42a)", "10048  (0x2740)"))
        # Never "started"; an error event says why.
        events = self.service_events(since)
        self.assertEqual([e[:2] for e in events], [(ERROR, 0xC0000012)])
        self.assertEqual(events[0][2][0], DISPLAY)
        self.assertTrue(events[0][2][1].startswith(f"could not listen on port {port} after 21 attempts: 10048, "),
                        events)

    def test_a_server_address_that_is_no_address_is_refused_at_install_and_at_start(self):
        self.addCleanup(self.prefix.remove_service, NAME, SOURCE_KEY)
        code, output, events, boxes = self.program("-install", "-serveraddress:nonsense")
        self.assertEqual((code, output, events, len(boxes)), (87, "", [], 1))
        self.assertTrue(boxes[0][0].startswith("The option '-serveraddress:nonsense' cannot be installed: it is not an "
                                               "IPv4 or IPv6 address, Error:87, "), boxes)
        self.assertEqual(self.prefix.sc_query(NAME), {})

        # Registered by other means, the service stops at its start with 87 and an error event that says why.
        self.prefix.wine("sc", "create", NAME, "binPath=", f"{winpath(PROGRAM)} -serveraddress:nonsense")
        since = len(self.prefix.trace_bytes())
        code, output, _, _ = self.program("-start", "-silent")
        self.assertEqual((code, output), (87, ""))
        fields = self.prefix.sc_query(NAME)
        self.assertEqual((fields["STATE"], fields["WIN32_EXIT_CODE"]), ("1  STOPPED", "87  (0x57)"))
        events = self.service_events(since)
        self.assertEqual([e[:2] for e in events], [(ERROR, 0xC0000012)])
        self.assertTrue(events[0][2][1].startswith("the server address 'nonsense' is not an IPv4 or IPv6 address: 87, "),
                        events)

    # -- verbs without an installed service ------------------------------------

    def test_verbs_on_a_service_that_is_not_installed(self):
        self.assertEqual(self.prefix.sc_query(NAME), {})
        messages = {
            "-start": "Failed to start the service, Error:1060, ",
            "-stop": "Failed to stop the service, Error:1060, ",
            "-pause": "Failed to pause the service, Error:1060, ",
            "-continue": "Failed to continue the service, Error:1060, ",
            "-uninstall": "CNTService::Uninstall, Failed call to OpenService, Error:1060, ",
        }
        for verb, message in messages.items():
            with self.subTest(verb=verb):
                # The open of the service fails with 1060 (ERROR_SERVICE_DOES_NOT_EXIST); the
                # event carries the code and the system's text, the message adds its own words.
                code, output, events, boxes = self.program(verb, "-silent")
                self.assertEqual((code, output, boxes), (exit_status(1060), "", []))
                self.assertEqual([e[:2] for e in events], [(ERROR, 0xC0000007)])
                system_text = events[0][2][0]
                self.assertTrue(system_text.startswith("1060, "), events)
                code, output, events, boxes = self.program(verb)
                self.assertEqual((code, output), (exit_status(1060), ""))
                self.assertEqual(boxes, [(message + system_text[len("1060, "):], "VelmoraService.exe", 0)])

    def test_help_prints_the_usage_text(self):
        for verb in ("-help", "-?", "/HELP"):
            code, output, events, boxes = self.program(verb)
            self.assertEqual((code, output, events, boxes), (0, USAGE, [], []))

    def test_started_by_hand_the_program_cannot_reach_the_service_control_manager(self):
        # Wine's dispatcher gives up after about ten seconds with 1063
        # (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT); nothing is shown.
        code, output, _, boxes = self.program("-serverport:1")
        self.assertEqual((code, output, boxes), (exit_status(1063), "", []))


if __name__ == "__main__":
    unittest.main(verbosity=2)
