"""The servers under comparison: how each is configured, started on loopback, measured and stopped.

Every server serves the same folder tree: ROOT/packages/... is reached as
/packages/... on every server (VelmoraService maps /packages onto its
packages folder; the others serve ROOT as their document root).
"""
import contextlib
import os
import resource
import signal
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server exited with %s before listening" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not listen on port %d" % port)


def rss_bytes(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def cpu_seconds(pid):
    """(user, system) CPU seconds of a process, all its threads together."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick  # utime, stime


def descriptor_limit():
    """The descriptors this process (and so every server it starts) may open."""
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def cpu_split():
    """(server CPUs, load client CPUs): with two or more cores the server gets
    the last one and the load client the others, so neither takes the
    other's core and figures repeat; with one core both share it."""
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return set(cpus), set(cpus)
    return {cpus[-1]}, set(cpus[:-1])


SERVER_CPUS, CLIENT_CPUS = cpu_split()


def on_cpus(cpus):
    """A preexec_fn that binds the child to `cpus`."""
    return lambda: os.sched_setaffinity(0, cpus)


class Server:
    """One server program; start(log) runs it with or without its request log."""

    name = ""
    # The path that lists one folder, and whether one request lists a whole tree.
    lists_whole_tree = False

    def __init__(self, root, work):
        self.root = root
        self.work = work
        self.proc = None
        self.port = None
        self.console = False
        self.log_file = None

    # Whether the server takes part in the scale workloads (thousands of connections).
    scales = True
    # The program that must be installed to run it.
    program = None

    def command(self, log):
        raise NotImplementedError

    def start(self, log, console=False):
        """Starts the server; `console` is VelmoraService's console mode (-debug)."""
        self.port = free_port()
        self.console = console
        self.log_file = os.path.join(self.work, "%s-access.log" % self.name) if log else None
        if self.log_file and os.path.exists(self.log_file):
            os.remove(self.log_file)
        self.proc = subprocess.Popen(self.command(log) if not console else self.console_command(log),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=self.stderr(), start_new_session=True,
                                     preexec_fn=on_cpus(SERVER_CPUS))
        wait_for_port(self.port, self.proc)

    @contextlib.contextmanager
    def running(self, log=False, console=False):
        self.start(log, console)
        try:
            yield self
        finally:
            self.stop()

    def stderr(self):
        return subprocess.DEVNULL

    def serving_pid(self):
        """The process that serves the connections (nginx: its one worker)."""
        return self.proc.pid

    def stop(self):
        if self.proc is None:
            return
        died = self.proc.poll()
        if died is None:
            try:
                os.killpg(self.proc.pid, self.stop_signal)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        status = self.proc.returncode
        self.proc = None
        if self.log_file and os.path.exists(self.log_file):
            os.remove(self.log_file)
        if died is not None:
            raise RuntimeError("%s ended by itself (exit status %d) while it was measured" % (self.name, died))
        if self.stop_status is not None and status != self.stop_status(self.console):
            raise RuntimeError("%s stopped with exit status %d" % (self.name, status))

    stop_signal = signal.SIGTERM
    # console mode -> the exit status a clean stop gives, when it is checked
    stop_status = None

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    # Listing of a tree (its folders of 100 files each) and of one folder of "tree".
    def tree_listing_paths(self, tree, folders):
        return ["/packages/%s/" % tree] + ["/packages/%s/%s/" % (tree, d) for d in folders]

    def folder_listing_path(self, folder):
        return "/packages/tree/%s/" % folder


class Velmora(Server):
    """VelmoraService as it runs in production: the service body with no console
    echo, here in the foreground (/console); console mode (-debug) on request,
    its console output going to /dev/null. Ctrl+C (SIGINT) stops both cleanly."""

    name = "VelmoraService"
    lists_whole_tree = True
    stop_signal = signal.SIGINT
    # A sanitizer's report at exit, or a crash while stopping, shows in the status.
    stop_status = staticmethod(lambda console: 255 if console else 0)

    def __init__(self, root, work, binary, name="VelmoraService"):
        super().__init__(root, work)
        self.binary = binary
        self.name = name

    def command(self, log, mode="/console"):
        cmd = [self.binary, mode, "-serverport:%d" % self.port,
               "-packagespath:%s/" % os.path.join(self.root, "packages")]
        if log:
            cmd.append("-logfile:%s" % self.log_file)
        return cmd

    def console_command(self, log):
        return self.command(log, "-debug")

    def tree_listing_paths(self, tree, folders):
        return ["/packages/%s/ListFolderContents.asp" % tree]

    def folder_listing_path(self, folder):
        return "/packages/tree/%s/ListFolderContents.asp" % folder


class Nginx(Server):
    """nginx-light: one worker process, sendfile and tcp_nopush on, default listen backlog."""

    name = "nginx"
    program = "nginx"

    def command(self, log):
        conf = os.path.join(self.work, "nginx.conf")
        temp = os.path.join(self.work, "nginx-temp")
        os.makedirs(temp, exist_ok=True)
        with open(conf, "w") as f:
            f.write("""
user root;
daemon off;
master_process on;
worker_processes 1;
worker_rlimit_nofile {fds};
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections {connections}; }}
http {{
    types {{ application/octet-stream bin; }}
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    access_log {access};
    client_body_temp_path {temp}/body;
    proxy_temp_path {temp}/proxy;
    fastcgi_temp_path {temp}/fastcgi;
    uwsgi_temp_path {temp}/uwsgi;
    scgi_temp_path {temp}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location /packages/ {{ autoindex on; }}
    }}
}}
""".format(work=self.work, temp=temp, root=self.root, port=self.port, fds=descriptor_limit(),
           connections=descriptor_limit() - 64,
           access=self.log_file if self.log_file else "off"))
        return ["nginx", "-p", self.work, "-e", os.path.join(self.work, "nginx-error.log"), "-c", conf]

    def serving_pid(self):
        with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
            children = [int(p) for p in f.read().split()]
        return children[0] if children else self.proc.pid


class Lighttpd(Server):
    """lighttpd: its one process, default network backend and listen backlog; as many
    connections as it allows for its descriptors (it keeps half of them for files)."""

    name = "lighttpd"
    program = "lighttpd"

    def command(self, log):
        conf = os.path.join(self.work, "lighttpd.conf")
        with open(conf, "w") as f:
            f.write("""
server.modules = ("mod_dirlisting", "mod_accesslog")
server.document-root = "{root}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{work}/lighttpd-error.log"
server.max-fds = {fds}
server.max-connections = {connections}
server.max-keep-alive-requests = 1000000
server.max-keep-alive-idle = 300
mimetype.assign = (".bin" => "application/octet-stream")
$HTTP["url"] =^ "/packages/" {{ dir-listing.activate = "enable" }}
{access}
""".format(root=self.root, port=self.port, work=self.work, fds=descriptor_limit(),
           connections=descriptor_limit() // 2,
           access='accesslog.filename = "%s"' % self.log_file if self.log_file else ""))
        return ["lighttpd", "-D", "-f", conf]


class PythonHttpServer(Server):
    """python3 http.server (threading) with HTTP/1.1 keep-alive; see pyserver.py."""

    name = "python"
    scales = False  # a thread per connection: left out of the scale workloads

    def __init__(self, root, work, script):
        super().__init__(root, work)
        self.script = script

    def command(self, log):
        mode = ["--log", self.log_file] if log else ["--quiet"]
        return ["python3", self.script, str(self.port), self.root] + mode
