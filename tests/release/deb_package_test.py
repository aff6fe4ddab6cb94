"""The Debian package as an administrator meets it: lintian, then installed
with dpkg on a throwaway machine with a real systemd (velmoratest/systemd), the
installed program serving in console mode, its log rotated by logrotate, a
service installed by hand, and the package removed and purged."""
import os
import signal
import subprocess
import time
import unittest

from velmoratest import systemd, temp_folder
from velmoratest.packages import build_package

UNIT = "/etc/systemd/system/HarbrookVelmoraService.service"
SHIPPED = ["/usr/sbin/VelmoraService", "/usr/share/doc/velmora-service/README.md",
           "/usr/share/doc/velmora-service/copyright", "/usr/share/doc/velmora-service/changelog.gz",
           "/usr/share/man/man8/VelmoraService.8.gz", "/etc/logrotate.d/velmora-service"]


@unittest.skipIf(systemd.unavailable(), systemd.unavailable())
class DebPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = temp_folder(cls, "velmora-deb-")
        cls.deb = build_package(cls.out, ".deb")

    def test_name_version_and_lintian(self):
        version = os.environ["VELMORA_VERSION"]
        self.assertEqual(os.path.basename(self.deb), f"velmora-service_{version}_amd64.deb")
        fields = subprocess.run(["dpkg-deb", "-f", self.deb, "Package", "Version", "Architecture"],
                                capture_output=True, text=True, check=True).stdout
        self.assertEqual(fields, f"Package: velmora-service\nVersion: {version}\nArchitecture: amd64\n")
        lint = subprocess.run(["lintian", "--fail-on", "error", self.deb], capture_output=True, text=True)
        print(lint.stdout + lint.stderr)
        self.assertEqual(lint.returncode, 0, lint.stdout)
        self.assertNotIn("E: ", lint.stdout)

    def test_install_serve_rotate_service_remove_purge(self):
        root = systemd.SystemdMachine(time_limit=600)
        try:
            self._lifecycle(root)
        finally:
            root.close()

    def _lifecycle(self, root):
        root.copy_in(self.deb, "/root/velmora.deb")
        root.shell("dpkg -i /root/velmora.deb")
        for path in SHIPPED:
            root.shell(f"test -f {path}")
        # Installing registers nothing; it prepares a log folder for root and adm.
        root.shell(f"test ! -e {UNIT}")
        self.assertEqual(root.shell("stat -c '%a %U %G' /var/log/velmora").stdout, "750 root adm\n")
        root.shell("man -l /usr/share/man/man8/VelmoraService.8.gz >/dev/null")

        # Console mode on a packages folder, log rotated between two requests.
        root.shell("mkdir -p /srv/pk && printf 'first package' > /srv/pk/one.txt && printf 'second' > /srv/pk/two.txt")
        log = "/var/log/velmora/velmora.log"
        console = subprocess.Popen(root.command("VelmoraService", "-debug", "-serverport:8080",
                                                "-packagespath:/srv/pk/", f"-logfile:{log}"),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        try:
            self.assertEqual(self._fetch(root, 8080, "one.txt"), "first package")
            root.shell("logrotate -f /etc/logrotate.d/velmora-service")
            self.assertEqual(self._fetch(root, 8080, "two.txt"), "second")
            rotated, current = root.shell(f"cat {log}.1").stdout, root.shell(f"cat {log}").stdout
            self.assertIn("Request for: '/packages/one.txt'", rotated)
            self.assertNotIn("Request for: '/packages/two.txt'", rotated)
            self.assertIn("Request for: '/packages/two.txt'", current)
            self.assertNotIn("Request for: '/packages/one.txt'", current)
        finally:
            console.send_signal(signal.SIGTERM)
            self.assertEqual(console.wait(30), 255)

        # A service installed by the administrator, then the package removed.
        root.shell("VelmoraService -install -serverport:8081 -packagespath:/srv/pk/ "
                 "-logfile:/var/log/velmora/service.log && VelmoraService -start")
        self.assertEqual(self._fetch(root, 8081, "one.txt"), "first package")
        # Upgrading (here: the same version again) restarts the running service,
        # as far as the machine's policy-rc.d allows: this image's forbids all.
        # The socket stays with systemd: 20 clients downloading meanwhile get every reply whole.
        main_pid = "systemctl show -p MainPID --value HarbrookVelmoraService"
        before = root.shell(main_pid + " && rm -f /usr/sbin/policy-rc.d").stdout
        root.shell("head -c 2000000 /dev/urandom > /srv/pk/large.bin")
        large = root.run("cat", "/srv/pk/large.bin").stdout_bytes
        load = systemd.FetchLoop(root, 8081, "/packages/large.bin", large, clients=20)
        try:
            time.sleep(1)
            root.shell("dpkg -i /root/velmora.deb")
            time.sleep(1)
        finally:
            result = load.stop()
        self.assertEqual(result["failures"], [])
        self.assertGreater(result["answered"], 0)
        print(f"{result['answered']} downloads across the upgrade")
        self.assertNotEqual(root.shell(main_pid).stdout, before)
        self.assertEqual(self._fetch(root, 8081, "one.txt"), "first package")
        removal = root.shell("dpkg -r velmora-service")
        self.assertIn("HarbrookVelmoraService was stopped and uninstalled", removal.stdout)
        root.shell(f"test ! -e {UNIT} && test ! -e /usr/sbin/VelmoraService")
        self.assertNotEqual(root.shell("systemctl is-active HarbrookVelmoraService", check=False).stdout, "active\n")
        self.assertNotEqual(root.shell("curl -s http://127.0.0.1:8081/packages/one.txt", check=False).returncode, 0)
        # Removal keeps the configuration file and the logs; purge takes them.
        root.shell("test -f /etc/logrotate.d/velmora-service && test -f /var/log/velmora/service.log")
        root.shell("dpkg -P velmora-service")
        leftovers = root.shell("ls -d " + " ".join(SHIPPED) + " /var/log/velmora /var/lib/velmora 2>/dev/null",
                             check=False).stdout
        self.assertEqual(leftovers, "")
        self.assertNotEqual(root.shell("dpkg -s velmora-service", check=False).returncode, 0)

    def _fetch(self, root, port, name):
        # The server may still be starting: a refused connection is retried for a while.
        deadline = time.time() + 30
        while True:
            got = root.shell(f"curl -sS --fail http://127.0.0.1:{port}/packages/{name}", check=False)
            if got.returncode == 0 or time.time() > deadline:
                self.assertEqual(got.returncode, 0, got.stderr)
                return got.stdout
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main()
