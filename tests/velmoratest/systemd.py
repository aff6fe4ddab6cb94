"""A throw-away machine that runs a real systemd, for tests of the service
under systemd on hosts where systemd is not PID 1.

systemd boots as PID 1 of private PID, mount, network, UTS, IPC and cgroup
namespaces, inside a fresh cgroup2 subtree, on an overlay of the host's root
file system whose changes live on a tmpfs. Every mount is made inside the
private mount namespace, so none is left on the host when it ends; the
network namespace has only its own loopback. Commands run inside through
nsenter; files go in through standard input.

It cleans up whatever happens: close() powers systemd off (SIGRTMIN+4),
kills it if it does not go, removes the cgroup and the run folder, and
reports what is left. A watchdog process, detached from the test's process
tree, does the same when the test process dies or the time limit passes.
Needs root, cgroup2 and systemd. Used by the end-to-end test of the service
under systemd and by the test of the Debian package (installed with dpkg
inside: nothing reaches the host's dpkg database, /usr or /etc).
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SYSTEMD = "/lib/systemd/systemd"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# Runs as PID 1 of the new namespaces: builds the root and execs systemd.
# $1 is the run folder (empty); $2 a space-separated list of units to mask.
BOOT = r"""
set -eu
run=$1
mount -t tmpfs -o mode=0755,size=1g velmora-run "$run"
mkdir "$run/upper" "$run/work" "$run/root"
# An overlay keeps the host's files (and its /tmp, which systemd empties at boot) untouched.
mount -t overlay overlay -o "lowerdir=/,upperdir=$run/upper,workdir=$run/work" "$run/root"
root=$run/root
mount -t proc proc "$root/proc"
mount -t sysfs -o ro sysfs "$root/sys"
mount -t cgroup2 -o nsdelegate cgroup2 "$root/sys/fs/cgroup"
mount -t tmpfs -o mode=0755,nosuid velmora-dev "$root/dev"
for d in null zero full random urandom tty; do
    touch "$root/dev/$d"
    mount --bind "/dev/$d" "$root/dev/$d"
done
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
for n in 0:stdin 1:stdout 2:stderr; do ln -s "/proc/self/fd/${n%%:*}" "$root/dev/${n#*:}"; done
mount -t tmpfs -o mode=0755,nosuid,nodev velmora-runtime "$root/run"
mkdir -p "$root/etc/systemd/system" "$root/etc/systemd/journald.conf.d"
# Tests compare the service's log file with the journal line by line:
# journald's rate limit (10,000 lines in 30 s per service) would drop lines
# whenever a test's clients make the service log faster than that.
printf '[Journal]\nRateLimitIntervalSec=0\n' > "$root/etc/systemd/journald.conf.d/velmora-test.conf"
for unit in $2; do ln -sf /dev/null "$root/etc/systemd/system/$unit"; done
cd "$root"
mkdir .velmora-old-root
pivot_root . .velmora-old-root
cd /
umount -l /.velmora-old-root
rmdir /.velmora-old-root
exec env -i container=velmora-test %(systemd)s --system
""" % {"systemd": SYSTEMD}


def cgroup2_root():
    """The host's cgroup2 mount point, or None."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            if fields[fields.index("-") + 1] == "cgroup2":
                return fields[4]
    return None


def unavailable():
    """Why no machine can be booted here, or None."""
    if os.geteuid() != 0:
        return "needs root (namespaces, mounts, cgroups)"
    for tool in ("unshare", "nsenter"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed"
    if not os.access(SYSTEMD, os.X_OK):
        return f"{SYSTEMD} is not installed"
    if cgroup2_root() is None:
        return "no cgroup2 file system is mounted"
    return None


# Units of this image that have nothing to do with a test, also when not enabled
# (a timer's logrotate would race the package test's own).
ALWAYS_MASKED = {"postgresql@.service", "postgresql.service", "getty@tty1.service", "console-getty.service",
                 "e2scrub_reap.service", "e2scrub_all.timer", "apt-daily.timer", "apt-daily-upgrade.timer",
                 "dpkg-db-backup.timer", "fstrim.timer", "man-db.timer", "logrotate.timer", "haproxy.service",
                 "systemd-timesyncd.service"}


def units_to_mask():
    """Services and timers the host's image enables that have nothing to do with a test."""
    units = set(ALWAYS_MASKED)
    folder = "/etc/systemd/system"
    for wants in os.listdir(folder):
        if wants.endswith(".wants") and os.path.isdir(os.path.join(folder, wants)):
            units.update(u for u in os.listdir(os.path.join(folder, wants)) if u.endswith((".service", ".timer")))
    return sorted(units)


def process_start_time(pid):
    """The start time of a process (to tell it from a later one with the same id), or None when gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[19]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def clean_up(pid, start_time, cgroup, run_folder, wait=20):
    """Ends the machine's PID 1 (the kernel then ends every process of its
    namespace) and removes the cgroup subtree and the run folder; safe to run
    more than once and from both the test and the watchdog."""
    if pid and start_time and process_start_time(pid) == start_time:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + wait
    while os.path.isdir(cgroup) and time.monotonic() < deadline:
        try:
            for folder, _, _ in sorted(os.walk(cgroup), key=lambda entry: -len(entry[0])):
                os.rmdir(folder)
        except OSError:  # processes still leaving
            time.sleep(0.1)
    try:
        os.rmdir(run_folder)
    except FileNotFoundError:
        pass


def watchdog(pid, start_time, cgroup, run_folder, time_limit):
    """Waits for the test to close its end of standard input, or for the time limit; then cleans up."""
    import select
    deadline = time.monotonic() + time_limit
    while True:
        ready, _, _ = select.select([sys.stdin], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            print(f"systemd machine: time limit of {time_limit} s passed, killing it", file=sys.stderr)
            break
        if not os.read(sys.stdin.fileno(), 64):
            break
    clean_up(pid, start_time, cgroup, run_folder)


# Clients inside a machine that fetch one package again and again, each time
# on a new connection, until a stop file appears; then a JSON summary: how many
# replies came whole, and every failure (refused, reset, cut, wrong bytes).
FETCH_LOOP = r"""
import hashlib, json, os, socket, sys, threading
port, path, size, digest, clients, stop = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]), sys.argv[6]
lock = threading.Lock()
answered, failures = [0], []

def fetch():
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                raise ConnectionError(f"closed before the end of the head ({len(data)} bytes)")
            data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        while len(body) < size:
            chunk = s.recv(65536)
            if not chunk:
                raise ConnectionError(f"cut after {len(body)} of {size} body bytes")
            body += chunk
    if not head.startswith(b"HTTP/1.1 200 ") or hashlib.sha256(body).hexdigest() != digest:
        raise ValueError(f"wrong reply: {head[:60]!r}")

def client():
    while not os.path.exists(stop):
        try:
            fetch()
            with lock:
                answered[0] += 1
        except Exception as e:
            with lock:
                failures.append(f"{type(e).__name__}: {e}")

threads = [threading.Thread(target=client) for _ in range(clients)]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(json.dumps({"answered": answered[0], "failures": failures}))
"""


class FetchLoop:
    """`clients` clients inside `machine` fetching `path` (whose bytes are
    `expected`) from 127.0.0.1:`port` on new connections, one request after
    another, until stop(), which returns {"answered": n, "failures": [...]}."""
    STOP_FILE = "/run/velmora-fetch-loop-stop"

    def __init__(self, machine, port, path, expected, clients=20):
        import hashlib
        self.machine = machine
        machine.run("rm", "-f", self.STOP_FILE)
        self.process = machine.popen("python3", "-c", FETCH_LOOP, str(port), path, str(len(expected)),
                                     hashlib.sha256(expected).hexdigest(), str(clients), self.STOP_FILE)

    def stop(self):
        import json
        self.machine.run("touch", self.STOP_FILE)
        out, err = self.process.communicate(timeout=180)
        if self.process.returncode != 0:
            raise AssertionError(f"the fetch loop failed ({self.process.returncode}):\n{err}")
        return json.loads(out)


class SystemdMachine:
    def __init__(self, time_limit=300):
        self.name = f"velmora-systemd-{os.getpid()}-{int(time.time() * 1000) % 100000}"
        self.cgroup = os.path.join(cgroup2_root(), self.name)
        self.run_folder = tempfile.mkdtemp(prefix="velmora-systemd-")
        self.boot_log = tempfile.TemporaryFile()
        self.unshare = None
        self.pid = None
        self.start_time = None
        self.watchdog = None
        os.mkdir(self.cgroup)
        try:
            self._boot(time_limit)
        except BaseException:
            self.close()
            raise

    def _boot(self, time_limit):
        # The shell moves itself into the new cgroup first, so that the cgroup
        # namespace (and all of systemd's cgroups) lie inside it.
        self.unshare = subprocess.Popen(
            ["sh", "-c", 'echo $$ > "$1/cgroup.procs" && exec unshare --pid --fork --kill-child --mount --net '
             '--uts --ipc --cgroup --propagation private sh -c "$2" velmora-boot "$3" "$4"',
             "sh", self.cgroup, BOOT, self.run_folder, " ".join(units_to_mask())],
            env={"PATH": PATH}, stdin=subprocess.DEVNULL, stdout=self.boot_log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while self.pid is None:
            if self.unshare.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"systemd did not start:\n{self.boot_log_text()}")
            try:
                with open(f"/proc/{self.unshare.pid}/task/{self.unshare.pid}/children") as f:
                    children = f.read().split()
                if children and os.readlink(f"/proc/{children[0]}/exe") == os.path.realpath(SYSTEMD):
                    self.pid = int(children[0])
                    self.start_time = process_start_time(self.pid)
            except (FileNotFoundError, ProcessLookupError):
                pass
            if self.pid is None:
                time.sleep(0.05)
        self._start_watchdog(time_limit)
        # Until systemd has made /run/systemd/system and its private socket,
        # systemctl answers "offline" or cannot connect.
        while True:
            result = self.run("systemctl", "is-system-running", "--wait", check=False, timeout=120)
            state = result.stdout.strip()
            if state not in ("", "offline") or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        if state not in ("running", "degraded"):
            raise RuntimeError(f"systemd did not finish booting ({state}):\n{result.stderr}{self.boot_log_text()}")

    def _start_watchdog(self, time_limit):
        # Started through a shell that leaves it behind, so that it is no
        # child of the test: a runner that kills the test's process tree
        # does not kill the watchdog.
        args = [sys.executable, os.path.abspath(__file__), "--watchdog", str(self.pid), self.start_time,
                self.cgroup, self.run_folder, str(time_limit)]
        # (A shell gives a command it leaves running /dev/null as standard input unless told otherwise.)
        self.watchdog = subprocess.Popen(["sh", "-c", 'exec 3<&0; "$@" <&3 3<&- & exit 0', "sh", *args],
                                         stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True)
        self.watchdog.wait()

    def boot_log_text(self):
        self.boot_log.seek(0)
        return self.boot_log.read().decode("utf-8", "replace")

    def run(self, *command, input=None, check=True, timeout=180):
        """Runs a command inside, as root, in an empty environment; text output (stdout_bytes: as it came)."""
        result = subprocess.run(
            ["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-p", "-C", "-r", "-w",
             "env", "-i", "PATH=" + PATH, "LANG=C.UTF-8", "SYSTEMD_COLORS=0", *command],
            input=input, capture_output=True, timeout=timeout)
        result.stdout_bytes = result.stdout
        result.stdout = result.stdout.decode("utf-8", "replace")
        result.stderr = result.stderr.decode("utf-8", "replace")
        if check and result.returncode != 0:
            raise AssertionError(f"{' '.join(command)} exited with {result.returncode}:\n"
                                 f"{result.stdout}{result.stderr}")
        return result

    def shell(self, script, **options):
        """Runs a shell command line inside (options as for run)."""
        return self.run("sh", "-c", script, **options)

    def command(self, *command):
        """The argument vector that runs a command inside but in the host's
        process namespace, so that the process started with it is the
        command itself and can be signalled from here."""
        return ["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-r", "-w",
                "env", "-i", "PATH=" + PATH, *command]

    def popen(self, *command):
        """Starts a command inside and returns at once (text output through pipes)."""
        return subprocess.Popen(
            ["nsenter", "-t", str(self.pid), "-m", "-u", "-i", "-n", "-p", "-C", "-r", "-w",
             "env", "-i", "PATH=" + PATH, "LANG=C.UTF-8", "SYSTEMD_COLORS=0", *command],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def copy_in(self, host_path, path, mode="0755"):
        with open(host_path, "rb") as f:
            self.run("sh", "-c", 'mkdir -p "$(dirname "$1")" && cat > "$1" && chmod "$2" "$1"', "sh", path, mode,
                     input=f.read())

    def close(self):
        """Powers systemd off (killing it if it does not go within 20 s) and removes what the machine made."""
        if self.pid is not None and process_start_time(self.pid) == self.start_time:
            os.kill(self.pid, signal.SIGRTMIN + 4)
        if self.unshare is not None:
            try:
                self.unshare.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        clean_up(self.pid, self.start_time, self.cgroup, self.run_folder)
        if self.unshare is not None:
            self.unshare.wait()
        if self.watchdog is not None:
            self.watchdog.stdin.close()  # the watchdog's own clean-up then finds nothing to do
        self.boot_log.close()

    def leftovers(self):
        """What the machine left behind on the host (empty after a clean close)."""
        found = []
        if self.pid is not None and process_start_time(self.pid) == self.start_time:
            found.append(f"process {self.pid}")
        if os.path.exists(self.cgroup):
            found.append(f"cgroup {self.cgroup}")
        if os.path.exists(self.run_folder):
            found.append(f"folder {self.run_folder}")
        with open("/proc/self/mountinfo") as f:
            found += [f"mount {line.split()[4]}" for line in f if self.run_folder in line or self.name in line]
        return found


if __name__ == "__main__" and sys.argv[1:2] == ["--watchdog"]:
    pid, start_time, cgroup, run_folder, time_limit = sys.argv[2:7]
    watchdog(int(pid), start_time, cgroup, run_folder, float(time_limit))
