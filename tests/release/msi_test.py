"""The Windows installer as an administrator deploys it, under Wine's msiexec
in a prefix of the test's own: its tables as msiinfo shows them; a silent
install with every property (the service registered as -install registers
it, running, serving); an upgrade to a higher version made here from the
same files (one entry, the same options, running again); a refused
downgrade; removal (program, service and event source gone, the packages
folder and the log kept); failed installs rolled back, with the reason in
the msiexec log; a service installed by hand left alone; and the default
packages folder: the installer's own, made by -install with rights of its own, while an
upgrade of an install that served C:\Temp\ keeps it. Wine 8 (as Debian
builds it) keeps no security descriptor of a file: it turns one into the
file's mode bits and makes one up from them when asked, so the folder's
rights read back (GetNamedSecurityInfoW) show only that Everyone got
nothing; the descriptor the program builds is read in the platform tests.

Set by ctest: VELMORA_PROGRAM, VELMORA_BUILD_DIR, VELMORA_CPACK, VELMORA_VERSION, VELMORA_SCM_PROBE.
"""
import os
import re
import shutil
import socket
import subprocess
import unittest

from velmoratest import temp_folder, write_files
from velmoratest.harness import Connection, free_port
from velmoratest.packages import build_package
from velmoratest.wine import (EVENT_SOURCE_KEY, FAILURE_ACTIONS_TRACE, SERVICE_DESCRIPTION, SERVICE_DISPLAY,
                              SERVICE_KEY, SERVICE_NAME, held_prefix, trace_events, winpath)

VERSION = os.environ["VELMORA_VERSION"]
HIGHER = ".".join(VERSION.split(".")[:2] + [str(int(VERSION.split(".")[2]) + 1)])
UPGRADE_CODE = "{2E52A33B-9ED9-4261-B34B-3E87BBA1278B}"
PREFIX = os.environ.get("VELMORA_MSI_WINEPREFIX") or os.path.join(os.environ["VELMORA_BUILD_DIR"], "msi-wineprefix")
PROGRAM = "C:\\Program Files\\Harbrook\\Velmora\\VelmoraService.exe"
REMEMBERED_KEY = "HKLM\\Software\\Harbrook\\Velmora"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
INSTALL_FAILURE = 1603 % 256  # ERROR_INSTALL_FAILURE as wine hands it on
ERROR, START_FAILED = 1, 0xC0000012  # the event type and id of a start that failed
DEFAULT_PACKAGES = "C:\\ProgramData\\Harbrook\\Velmora\\Packages\\"
# Users, Authenticated Users, Everyone, INTERACTIVE; and the rights to add files or folders, write
# or append (also generic write and all).
ORDINARY_ACCOUNTS = {"S-1-5-32-545", "S-1-5-11", "S-1-1-0", "S-1-5-4"}
FILL_RIGHTS = 0x2 | 0x4 | 0x40000000 | 0x10000000


def msiinfo(*args):
    return subprocess.run(["msiinfo", *args], capture_output=True, text=True, check=True).stdout


def table(msi, name):
    """The rows of an exported table, as lists of column values."""
    return [row.split("\t") for row in msiinfo("export", msi, name).splitlines()[3:]]


def failing_action(log):
    """The action whose failure ended the install: the one that ended just
    before the install (or its script) ended as failed. Wine's msiexec writes
    return value 0 for a failure (Windows: 3)."""
    m = re.search(r"^Action ended [^\n]*: (\w+)\. Return value 0\.\n"
                  r"Action ended [^\n]*: (?:INSTALL|InstallFinalize)\. Return value 0\.$", log, re.M)
    return m and m.group(1)


class MsiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        out = temp_folder(cls, "velmora-msi-")
        cls.msi = build_package(out, "-x64.msi")
        cls.higher_msi = build_package(os.path.join(out, "higher"), "-x64.msi", CPACK_PACKAGE_VERSION=HIGHER)
        cls.prefix = held_prefix(cls, PREFIX, os.environ["VELMORA_SCM_PROBE"])
        cls.dir = cls.prefix.dir
        cls.remove_everything()  # left by an interrupted run
        cls.addClassCleanup(cls.remove_everything)

    @classmethod
    def remove_everything(cls):
        for code in cls.installed():
            cls.prefix.wine("msiexec", "/x", code, "/qn", timeout=180)
        cls.prefix.remove_service(SERVICE_NAME, EVENT_SOURCE_KEY)

    @classmethod
    def installed(cls):
        """{product code: version} of the installed products named like ours."""
        _, output, _ = cls.prefix.wine("uninstaller", "--list")
        codes = [line.split("|||")[0] for line in output.splitlines() if line.endswith("|||" + SERVICE_DISPLAY)]
        return {code: cls.prefix.reg_values(UNINSTALL_KEY + code)["DisplayVersion"][1] for code in codes}

    def msiexec(self, *args):
        """Runs msiexec with a verbose log: (exit status, the log)."""
        log = os.path.join(self.dir, "msiexec.log")
        code, _, _ = self.prefix.wine("msiexec", *args, "/qn", "/l*v", winpath(log), timeout=180)
        with open(log, "rb") as f:
            return code, f.read().decode("utf-8", "replace")

    def program_files(self):
        """The files under Program Files\\Harbrook, or None without that folder."""
        root = os.path.join(self.prefix.path, "drive_c", "Program Files", "Harbrook")
        if not os.path.isdir(root):
            return None
        return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files)

    def get(self, port, path):
        c = Connection(port)
        try:
            return c.request(f"GET {path} HTTP/1.1")[3]
        finally:
            c.close()

    def assert_running_with(self, options):
        self.assertEqual(self.prefix.sc_query(SERVICE_NAME).get("STATE"), "4  RUNNING")
        self.assertEqual(self.prefix.reg_values(SERVICE_KEY)["ImagePath"][1], f'"{PROGRAM}"  {options}')

    def assert_nothing_installed(self):
        self.assertEqual(self.installed(), {})
        self.assertEqual(self.prefix.sc_query(SERVICE_NAME), {})
        self.assertIsNone(self.prefix.reg_values(EVENT_SOURCE_KEY))
        self.assertIsNone(self.prefix.reg_values(REMEMBERED_KEY))
        self.assertIsNone(self.program_files())

    # -- the package ---------------------------------------------------------

    def test_tables_name_version_and_upgrade_code(self):
        self.assertIn("Template: x64;1033", msiinfo("suminfo", self.msi))
        tables = set(msiinfo("tables", self.msi).split())
        self.assertLessEqual({"File", "Component", "Feature", "Property", "Upgrade", "CustomAction", "ActionText",
                              "InstallExecuteSequence", "Registry", "RegLocator"}, tables)
        for msi, version in ((self.msi, VERSION), (self.higher_msi, HIGHER)):
            properties = dict(row[:2] for row in table(msi, "Property"))
            self.assertEqual((properties["ProductName"], properties["Manufacturer"], properties["ProductVersion"],
                              properties["UpgradeCode"]),
                             ("Harbrook Velmora Service", "Harbrook", version, UPGRADE_CODE))
        self.assertEqual(sorted(row[2] for row in table(self.msi, "File")),
                         ["LICENSE", "README.md", "VelmoraService.exe"])

    # -- install, upgrade, downgrade, removal --------------------------------

    def test_install_upgrade_downgrade_and_removal(self):
        port = free_port()
        packages = os.path.join(self.dir, "packages")  # made by the install
        log = os.path.join(self.dir, "logs", "velmora.log")
        os.makedirs(os.path.dirname(log))
        options = (f"-serverport:{port} -packagespath:{winpath(packages)}\\ -logfile:{winpath(log)} -logevents "
                   "-headsizes")
        since = len(self.prefix.trace_bytes())

        code, _ = self.msiexec("/i", winpath(self.msi), f"PORT={port}", f"PACKAGESPATH={winpath(packages)}\\",
                               f"LOGFILE={winpath(log)}", "LOGEVENTS=1", "HEADSIZES=1")
        self.assertEqual(code, 0)
        self.assertEqual(self.program_files(), ["Velmora/LICENSE", "Velmora/README.md", "Velmora/VelmoraService.exe"])
        self.assertEqual(list(self.installed().values()), [VERSION])
        entry = self.prefix.reg_values(UNINSTALL_KEY + list(self.installed())[0])
        self.assertEqual((entry["DisplayName"][1], entry["Publisher"][1]), (SERVICE_DISPLAY, "Harbrook"))
        # The registration is -install's: command line, names, automatic start, event source.
        self.assert_running_with(options)
        service = self.prefix.reg_values(SERVICE_KEY)
        self.assertEqual({name: service[name][1] for name in ("DisplayName", "Description", "Start", "Type")},
                         {"DisplayName": SERVICE_DISPLAY, "Description": SERVICE_DESCRIPTION, "Start": "0x2",
                          "Type": "0x10"})
        self.assertEqual(self.prefix.reg_values(EVENT_SOURCE_KEY), {"EventMessageFile": ("REG_SZ", PROGRAM),
                                                                    "TypesSupported": ("REG_DWORD", "0x7")})
        # Failure actions: set by -install; Wine's service manager does not keep them (Windows does:
        # `sc qfailure` shows the restart), so what arrived is read from its trace.
        self.assertIn(FAILURE_ACTIONS_TRACE, self.prefix.trace_bytes()[since:].decode("utf-8", "replace"))
        # The packages folder was made; a package is served byte for byte.
        package = bytes(range(256)) * 300
        write_files(packages, {"setup.msi": package})
        self.assertEqual(self.get(port, "/packages/setup.msi"), package)

        # Upgrade, without properties: the older version goes, the service runs again with its options.
        code, _ = self.msiexec("/i", winpath(self.higher_msi))
        self.assertEqual(code, 0)
        self.assertEqual(list(self.installed().values()), [HIGHER])
        self.assert_running_with(options)
        self.assertEqual(self.get(port, "/packages/setup.msi"), package)

        # Downgrade: refused, with the reason in the log; nothing changes.
        code, text = self.msiexec("/i", winpath(self.msi))
        self.assertEqual(code, INSTALL_FAILURE)
        self.assertIn("a newer version of Harbrook Velmora Service is already installed", text)
        self.assertEqual(list(self.installed().values()), [HIGHER])
        self.assert_running_with(options)

        # Removal: program, service, event source and remembered options go; the data stays.
        code, _ = self.msiexec("/x", winpath(self.higher_msi))
        self.assertEqual(code, 0)
        self.assert_nothing_installed()
        self.assertEqual(os.listdir(packages), ["setup.msi"])
        self.assertTrue(os.path.getsize(log) > 0)

    # -- failed installs -----------------------------------------------------

    def test_failed_installs_roll_back(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind(("0.0.0.0", 0))
        holder.listen(1)
        held = holder.getsockname()[1]
        packages = os.path.join(self.dir, "rolled-back-packages")
        cases = [
            # Refused before anything is changed, the reason being the action's text.
            (["PORT=abc"], "RefuseBadPort",
             "RefuseBadPort. Nothing was installed: PORT must be a port number from 1 to 65535."),
            (["HEADSIZES=yes"], "RefuseBadHeadSizes",
             "RefuseBadHeadSizes. Nothing was installed: HEADSIZES must be 1, or 0, or not given."),
            # Registered, then the start fails (its port is taken): the registration is undone too,
            # and the service's error event says why.
            ([f"PORT={held}", f"PACKAGESPATH={winpath(packages)}\\"], "StartService", None),
        ]
        for properties, action, reason in cases:
            with self.subTest(properties=properties):
                since = len(self.prefix.trace_bytes())
                code, log = self.msiexec("/i", winpath(self.msi), *properties)
                self.assertNotEqual(code, 0)
                self.assertEqual(failing_action(log), action)
                if reason:
                    self.assertIn(reason, log)
                self.assert_nothing_installed()
        events = [e for e in trace_events(self.prefix.trace_bytes()[since:].decode("utf-8", "replace"))
                  if e[0] == SERVICE_DISPLAY]
        self.assertEqual([e[1:3] for e in events], [(ERROR, START_FAILED)])
        self.assertTrue(events[0][3][1].startswith(f"could not listen on port {held} after 21 attempts: 10048, "))
        self.assertFalse(os.path.exists(packages))

    def test_the_default_packages_folder_is_the_installers_own_and_an_upgrade_keeps_c_temp(self):
        drive_c = os.path.join(self.prefix.path, "drive_c")
        shutil.rmtree(os.path.join(drive_c, "ProgramData", "Harbrook"), ignore_errors=True)  # an earlier run's
        port = free_port()
        code, _ = self.msiexec("/i", winpath(self.msi), f"PORT={port}")
        self.assertEqual(code, 0)
        self.assert_running_with(f"-serverport:{port} -packagespath:{DEFAULT_PACKAGES}")
        write_files(os.path.join(drive_c, "ProgramData", "Harbrook", "Velmora", "Packages"), {"new.msi": b"own"})
        self.assertEqual(self.get(port, "/packages/new.msi"), b"own")
        # Made with the program's descriptor: a folder made without it (C:\ProgramData\, Wine's) reads
        # back with a read and list entry for Everyone.
        for folder, everyone_reads in ((DEFAULT_PACKAGES, False), ("C:\\ProgramData\\", True)):
            _, output, _ = self.prefix.wine(os.environ["VELMORA_SCM_PROBE"], "dacl", folder)
            aces = [line.split(" ") for line in output.splitlines()[1:]]
            writers = [sid for _, _, mask, sid in aces if sid in ORDINARY_ACCOUNTS and int(mask, 16) & FILL_RIGHTS]
            self.assertEqual(writers, [], output)
            self.assertEqual(any(sid == "S-1-1-0" for _, _, _, sid in aces), everyone_reads, output)

        # An install from before the installer had a folder of its own remembered none (and served
        # the program's default): its upgrade goes on serving C:\Temp\.
        self.prefix.wine("reg", "add", REMEMBERED_KEY, "/v", "PackagesPath", "/t", "REG_SZ", "/d", "", "/f")
        code, _ = self.msiexec("/i", winpath(self.higher_msi))
        self.assertEqual(code, 0)
        self.assert_running_with(f"-serverport:{port}")
        write_files(os.path.join(drive_c, "Temp"), {"velmora-msi-test.msi": b"temp"})
        self.addCleanup(os.remove, os.path.join(drive_c, "Temp", "velmora-msi-test.msi"))
        self.assertEqual(self.get(port, "/packages/velmora-msi-test.msi"), b"temp")
        code, _ = self.msiexec("/x", winpath(self.higher_msi))
        self.assertEqual(code, 0)

    def test_a_service_installed_by_hand_is_refused_and_left_alone(self):
        self.addCleanup(self.prefix.remove_service, SERVICE_NAME, EVENT_SOURCE_KEY)
        program = os.environ["VELMORA_PROGRAM"]  # as from the zip
        self.assertEqual(self.prefix.wine(program, "-install", "-serverport:1991", "-silent")[0], 0)
        code, log = self.msiexec("/i", winpath(self.msi))
        self.assertEqual((code, failing_action(log)), (INSTALL_FAILURE, "RefuseServiceInstalledByHand"))
        self.assertIn("the service HarbrookVelmoraService is installed already, not by this installer", log)
        self.assertEqual(self.prefix.reg_values(SERVICE_KEY)["ImagePath"][1], f"{winpath(program)}  -serverport:1991")
        self.assertEqual(self.installed(), {})


if __name__ == "__main__":
    unittest.main(verbosity=2)
