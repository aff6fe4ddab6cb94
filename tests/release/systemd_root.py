"""A throwaway machine for tests: a real systemd booted as PID 1 of private
namespaces, on a copy-on-write overlay of this machine's / (the upper layer a
tmpfs). Packages installed, units written and files removed inside never
reach the real dpkg database, /usr or /etc; the network namespace has only its
own loopback. Needs root."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# Units of this image that have nothing to do with a test.
MASKED = ["postgresql.service", "getty@tty1.service", "console-getty.service", "e2scrub_reap.service",
          "e2scrub_all.timer", "apt-daily.timer", "apt-daily-upgrade.timer", "dpkg-db-backup.timer",
          "fstrim.timer", "man-db.timer", "logrotate.timer", "haproxy.service", "systemd-timesyncd.service"]

# Run by the namespaces' first process: builds the root, then becomes systemd.
BOOT = r"""
set -e
T=$1; R=$T/root
mount -t tmpfs -o mode=0755 tmpfs "$T"
mkdir "$T/upper" "$T/work" "$R"
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/upper,workdir=$T/work" "$R"
mount -t proc proc "$R/proc"
mount -t sysfs -o ro sysfs "$R/sys"
mount -t cgroup2 -o nsdelegate cgroup2 "$R/sys/fs/cgroup"
mount -t tmpfs -o mode=0755 tmpfs "$R/dev"
for d in null zero full random urandom tty; do touch "$R/dev/$d"; mount --bind "/dev/$d" "$R/dev/$d"; done
mkdir "$R/dev/pts" "$R/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$R/dev/pts"
ln -s pts/ptmx "$R/dev/ptmx"
mount -t tmpfs tmpfs "$R/dev/shm"
ln -s /proc/self/fd "$R/dev/fd"
for i in 0 1 2; do ln -s "/proc/self/fd/$i" "$R/dev/$(echo stdin stdout stderr | cut -d' ' -f$((i + 1)))"; done
mount -t tmpfs -o mode=0755 tmpfs "$R/run"
mount -t tmpfs tmpfs "$R/tmp"
shift
for unit in "$@"; do ln -sf /dev/null "$R/etc/systemd/system/$unit"; done
cd "$R"
mkdir -p .oldroot
pivot_root . .oldroot
umount -l /.oldroot
rmdir /.oldroot
exec env -i container=velmora-test /lib/systemd/systemd --system --log-target=null
"""


class SystemdRoot:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="velmora-root-")
        self.cgroup = f"/sys/fs/cgroup/unified/velmora-test-{os.getpid()}"
        os.mkdir(self.cgroup)
        # The shell joins a cgroup of its own before it unshares, so that the
        # new cgroup namespace (systemd's whole tree) is that subtree.
        script = (f'echo $$ > {self.cgroup}/cgroup.procs && exec unshare --kill-child --pid --fork --mount --net --uts '
                  f'--ipc --cgroup --propagation private sh -c "$0" boot "$@"')
        self.proc = subprocess.Popen(["sh", "-c", script, BOOT, self.dir, *MASKED], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, env={"PATH": PATH})
        try:
            self.pid = self._child_pid()
            # Wait for boot to finish ("degraded" counts: some unit of the image failed).
            deadline = time.time() + 120
            while True:
                state = self.run("systemctl is-system-running --wait", check=False).stdout.strip()
                if state in ("running", "degraded"):
                    break
                if time.time() > deadline:
                    raise AssertionError(f"systemd did not boot: {state}")
                time.sleep(0.2)
        except BaseException:
            self.close()
            raise

    def _child_pid(self):
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                    children = f.read().split()
                if children:
                    with open(f"/proc/{children[0]}/comm") as f:
                        if f.read().strip() == "systemd":
                            return int(children[0])
            except FileNotFoundError:
                pass
            if self.proc.poll() is not None:
                raise AssertionError(f"the namespaces' first process ended with {self.proc.returncode}")
            time.sleep(0.05)
        raise AssertionError("systemd did not start")

    def command(self, args):
        """The argument vector that runs args inside (shares no process namespace,
        so the process can be signalled from here)."""
        return ["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-r", "-w", "env", "-i", f"PATH={PATH}", *args]

    def run(self, shell, check=True, input=None, timeout=180):
        """One shell command inside, as root; returns the completed process (text)."""
        done = subprocess.run(["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-p", "-C", "-r", "-w",
                               "env", "-i", f"PATH={PATH}", "sh", "-c", shell], input=input,
                              capture_output=True, timeout=timeout, text=input is None or isinstance(input, str))
        if check and done.returncode != 0:
            raise AssertionError(f"{shell!r} exited with {done.returncode}:\n{done.stdout}\n{done.stderr}")
        return done

    def copy_in(self, source, target):
        with open(source, "rb") as f:
            self.run(f"cat > '{target}'", input=f.read())

    def close(self):
        if self.proc.poll() is None:
            if getattr(self, "pid", None):
                os.kill(self.pid, signal.SIGRTMIN + 4)  # systemd's poweroff
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # Empty cgroups that systemd left behind, deepest first.
        for folder, _, _ in sorted(os.walk(self.cgroup), key=lambda w: -w[0].count("/")):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
