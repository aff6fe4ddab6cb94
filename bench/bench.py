#!/usr/bin/env python3
"""Benchmarks VelmoraService side by side with nginx, lighttpd and Python's
http.server on loopback and prints one table. bench/run builds everything and
calls this; see the README's "Benchmarks" section.

Every round starts each server afresh for each group of workloads, one server
at a time; the table shows the median of the rounds. VelmoraService runs as
in production (the service body in the foreground, /console, no console
echo); its small-package rows are measured once more in console mode
(-debug). Ratios are VelmoraService's figure divided by the peer's: above 1.0
is better for rates, below 1.0 is better for times, CPU and memory.
"""
import argparse
import dataclasses
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

import perfprofile
import servers

MIB = 1 << 20
SMALL = "/packages/small.bin"          # 4 KiB
LARGE = "/packages/large.bin"
DOWNLOAD = "/packages/download.bin"    # the slow readers' package
LOG_LINES = 4                          # log lines VelmoraService writes for one package request
LOG_LINE_BYTES = 100
NOISE = 0.10                           # "parity": within this fraction of the best peer


@dataclasses.dataclass
class Sizes:
    """Sizes of the data and the workloads: the full benchmark or its smoke run."""
    name: str
    rounds: int
    seconds: int                 # each wrk and connrate run
    large_mib: int
    big_mib: int                 # each of the 8 packages fetched at once
    download_mib: int
    tree_folders: int            # folders of 100 files each
    bigtree_folders: int
    large_repeats: int           # fetches summed into one large-package figure
    listing_samples: tuple       # tree, big tree, one folder
    idle: int                    # idle keep-alive connections
    many: int                    # concurrent keep-alive clients
    many_seconds: float
    slow: int                    # concurrent slow downloads
    slow_rate: int               # bytes per second each
    slow_receive_buffer: int
    slow_settle: float           # seconds between "all under way" and the memory sample
    storm: int                   # clients connecting at once
    storm_waves: int
    floor_requests: int


FULL = Sizes("full", rounds=5, seconds=5, large_mib=1024, big_mib=128, download_mib=64, tree_folders=100,
               bigtree_folders=1000, large_repeats=4, listing_samples=(100, 20, 500), idle=2000, many=10000,
               many_seconds=5, slow=2000, slow_rate=32768, slow_receive_buffer=16384, slow_settle=1.0, storm=5000,
               storm_waves=3, floor_requests=50000)
# A few seconds in all: every workload kind runs, on a tiny data set.
SMOKE = Sizes("smoke", rounds=1, seconds=1, large_mib=1, big_mib=1, download_mib=1, tree_folders=3,
                bigtree_folders=4, large_repeats=1, listing_samples=(3, 3, 3), idle=50, many=100, many_seconds=0.5,
                slow=20, slow_rate=32768, slow_receive_buffer=16384, slow_settle=0.2, storm=100, storm_waves=1,
                floor_requests=500)


def folders(count):
    return ["d%0*d" % (len(str(count - 1)), i) for i in range(count)]


def make_data(root, sizes):
    """The packages folder every server serves; made once, kept between runs."""
    packages = os.path.join(root, "packages")
    os.makedirs(packages, exist_ok=True)
    block = os.urandom(MIB)
    make_file(os.path.join(packages, "small.bin"), 4096, block)
    make_file(os.path.join(packages, "large.bin"), sizes.large_mib * MIB, block)
    for i in range(8):
        make_file(os.path.join(packages, "big%d.bin" % i), sizes.big_mib * MIB, block)
    make_file(os.path.join(packages, "download.bin"), sizes.download_mib * MIB, block)
    make_tree(root, "tree", sizes.tree_folders, block)
    make_tree(root, "bigtree", sizes.bigtree_folders, block)


def make_file(path, size, block):
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    with open(path, "wb") as f:
        for offset in range(0, size, len(block)):
            f.write(block[:min(len(block), size - offset)])


def make_tree(root, name, count, block):
    marker = os.path.join(root, "complete-%s-%d" % (name, count))
    if os.path.exists(marker):
        return
    for folder in folders(count):
        os.makedirs(os.path.join(root, "packages", name, folder), exist_ok=True)
        for n in range(100):
            with open(os.path.join(root, "packages", name, folder, "f%03d.bin" % n), "wb") as f:
                f.write(block[:n * 10])
    open(marker, "w").close()


class Runner:
    def __init__(self, args, sizes):
        self.args = args
        self.sizes = sizes
        self.client = args.loadclient
        self.results = {}   # (row, server) -> [figures]
        self.notes = {}     # (note, server) -> [figures or texts]
        self.fetch_rates = {}  # (row, server) -> MB/s of every single fetch, for the spread rows
        self.load_before = load_average()

    def record(self, row, server, value):
        self.results.setdefault((row, server), []).append(value)

    def note(self, key, server, value):
        self.notes.setdefault((key, server), []).append(value)

    def run(self, cmd, timeout=300, cpus=servers.CLIENT_CPUS):
        out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout,
                             preexec_fn=servers.on_cpus(cpus))
        if out.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(cmd[:2]), out.stderr.strip()))
        return out.stdout

    # -- workloads -----------------------------------------------------------

    def small_files(self, server, row):
        """4 KiB packages on 64 keep-alive connections; returns the server's user and
        system CPU microseconds per request."""
        pid = server.serving_pid()
        user, system = servers.cpu_seconds(pid)
        out = self.run(["wrk", "-t1", "-c64", "-d%ds" % self.sizes.seconds, server.url(SMALL)])
        user_after, system_after = servers.cpu_seconds(pid)
        rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        requests = int(re.search(r"(\d+) requests in", out).group(1))
        errors = re.search(r"Socket errors: (.*)", out)
        if errors or "Non-2xx" in out:
            self.note("wrk errors in " + row, server.name, (errors.group(1) if errors else "non-2xx replies"))
        self.record(row, server.name, rate)
        if not requests:
            return None
        user, system = (user_after - user) * 1e6 / requests, (system_after - system) * 1e6 / requests
        self.record(row + "-cpu", server.name, user + system)
        self.note("4 KiB, %s%s: server CPU per request, user / system (us)"
                  % ("log on" if "log" in row else "no log", ", console mode" if "console" in row else ""),
                  server.name, "%.1f / %.1f" % (user, system))
        if "console" not in row:
            self.system_calls(server, row)
        return user, system

    def system_calls(self, server, row):
        """System calls per request of the serving process, counted by strace over a short wrk run."""
        if not shutil.which("strace"):
            return
        counts = os.path.join(self.args.work, "strace.txt")
        tracer = subprocess.Popen(["strace", "-c", "-f", "-o", counts, "-p", str(server.serving_pid())],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  preexec_fn=servers.on_cpus(servers.CLIENT_CPUS))
        time.sleep(0.5)  # attached to every thread before the run
        out = self.run(["wrk", "-t1", "-c64", "-d%ds" % max(1, self.sizes.seconds // 2), server.url(SMALL)])
        tracer.send_signal(2)
        tracer.wait(30)
        requests = int(re.search(r"(\d+) requests in", out).group(1))
        with open(counts) as f:
            total = re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", f.read(), re.M)
        if total and requests:
            self.record(row + "-syscalls", server.name, int(total.group(1)) / requests)

    def log_floor(self):
        """Four log lines per request, each its own open, seek, write and close, on the servers' CPU and disk;
        and the same without the seek, which a file opened for appending does not need."""
        for row, extra in (("floor", []), ("floor-noseek", ["noseek"])):
            out = self.run([self.client, "logfloor", os.path.join(self.args.work, "floor.log"),
                            str(self.sizes.floor_requests), str(LOG_LINES), str(LOG_LINE_BYTES)] + extra,
                           cpus=servers.SERVER_CPUS).split()
            self.record(row, "reference", float(out[1]))

    def fetch_rate(self, server, row, paths):
        """Records MB/s and the server's CPU milliseconds per GiB sent."""
        # One fetch takes a fraction of a second on loopback: several back to
        # back make a figure that a scheduling hiccup cannot swing.
        pid = server.serving_pid()
        cpu_before = sum(servers.cpu_seconds(pid))
        total_bytes, total_seconds = 0, 0.0
        for _ in range(self.sizes.large_repeats):
            out = self.run([self.client, "fetch", str(server.port)] + paths).split()
            total_bytes += int(out[0])
            total_seconds += float(out[1])
            self.fetch_rates.setdefault((row, server.name), []).append(int(out[0]) / float(out[1]) / 1e6)
        cpu = sum(servers.cpu_seconds(pid)) - cpu_before
        self.record(row, server.name, total_bytes / total_seconds / 1e6)
        if total_bytes:
            self.record(row + "-cpu", server.name, cpu * 1000 / (total_bytes / float(1 << 30)))

    def large_files(self, server):
        self.fetch_rate(server, "large", [LARGE])
        self.fetch_rate(server, "large8", ["/packages/big%d.bin" % i for i in range(8)])

    def loopback(self):
        large = os.path.join(self.args.data, "packages", "large.bin")
        # Sender and receiver are both this one program: it gets every core,
        # as the server and its client have between them.
        every = servers.SERVER_CPUS | servers.CLIENT_CPUS
        size = self.sizes.large_mib * MIB
        out = self.run([self.client, "loopback", large, "1", str(size)], cpus=every).split()
        self.record("loop1", "reference", int(out[0]) / float(out[1]) / 1e6)
        out = self.run([self.client, "loopback", large, "8", str(self.sizes.big_mib * MIB)], cpus=every).split()
        self.record("loop8", "reference", int(out[0]) / float(out[1]) / 1e6)

    def connection_per_request(self, server):
        out = self.run([self.client, "connrate", str(server.port), SMALL, "64", str(self.sizes.seconds)]).split()
        requests, seconds, errors, slow = int(out[0]), float(out[1]), int(out[2]), int(out[3])
        self.record("connrate", server.name, requests / seconds)
        self.note("connection per request: replies that waited for a SYN retry (>= 0.9 s)", server.name, slow)
        self.note("connection per request: failed connects or replies", server.name, errors)

    def listing(self, server):
        path_file = os.path.join(self.args.work, "listing-paths.txt")
        p = self.sizes
        for row, paths, samples in (
                ("tree", server.tree_listing_paths("tree", folders(p.tree_folders)), p.listing_samples[0]),
                ("bigtree", server.tree_listing_paths("bigtree", folders(p.bigtree_folders)), p.listing_samples[1]),
                ("folder", [server.folder_listing_path(folders(p.tree_folders)[-1])], p.listing_samples[2])):
            with open(path_file, "w") as f:
                f.write("\n".join(paths) + "\n")
            # A slow server gets fewer samples (at least five) rather than a long run.
            out = self.run([self.client, "latency", str(server.port), str(samples), "3", path_file]).split()
            self.record(row + "-median", server.name, float(out[0]))
            self.record(row + "-p99", server.name, float(out[1]))

    def held_memory(self, server, row, cmd, settle):
        """RSS growth of the serving process per connection while `cmd` (a load
        client that prints "ready" once its connections are in place) holds them."""
        pid = server.serving_pid()
        before = servers.rss_bytes(pid)
        holder = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True, preexec_fn=servers.on_cpus(servers.CLIENT_CPUS))
        line = holder.stdout.readline()
        if not line.startswith("ready"):
            holder.kill()
            raise RuntimeError("%s: %s" % (row, holder.stderr.read().strip() or "no connections"))
        time.sleep(settle)
        after = servers.rss_bytes(pid)
        holder.stdin.close()
        rest = holder.stdout.read().split()
        holder.wait(timeout=30)
        self.record(row, server.name, (after - before) / int(line.split()[1]))
        return rest

    def idle_connections(self, server):
        count = self.sizes.idle
        self.held_memory(server, "idle", [self.client, "idle", str(server.port), SMALL, str(count)], 0.5)

    def slow_downloads(self, server):
        p = self.sizes
        underway, ended, failed = self.held_memory(
            server, "slow-rss", [self.client, "slow", str(server.port), DOWNLOAD, str(p.slow),
                                 str(p.slow_rate), str(p.slow_receive_buffer)], p.slow_settle)
        if int(ended) or int(failed):
            self.note("slow downloads that ended or failed before the memory sample", server.name,
                      "%s ended, %s failed" % (ended, failed))

    def many_clients(self, server):
        p = self.sizes
        out = self.run([self.client, "many", str(server.port), SMALL, str(p.many), str(p.many_seconds),
                        str(server.serving_pid())]).split()
        requests, seconds, errors = int(out[0]), float(out[1]), int(out[2])
        self.record("many", server.name, requests / seconds)
        if requests:
            self.record("many-cpu", server.name, float(out[5]) * 1e6 / requests)
        self.record("many-p50", server.name, float(out[3]))
        self.record("many-p99", server.name, float(out[4]))
        if errors:
            self.note("%d keep-alive clients: connections lost or replies not 200" % p.many, server.name, errors)

    def storm(self, server):
        p = self.sizes
        out = self.run([self.client, "storm", str(server.port), SMALL, str(p.storm), str(p.storm_waves)]).split()
        replies, seconds, failed, retried = int(out[0]), float(out[1]), int(out[2]), int(out[3])
        self.record("storm", server.name, replies / seconds)
        self.record("storm-failed", server.name, failed)
        self.record("storm-retried", server.name, retried)
        self.record("storm-p99", server.name, float(out[5]))

    def warm_up(self, server):
        path_file = os.path.join(self.args.work, "warm-paths.txt")
        with open(path_file, "w") as f:
            f.write(SMALL + "\n")
        self.run([self.client, "latency", str(server.port), "50", "2", path_file])

    # -- rounds --------------------------------------------------------------

    def round(self, peers):
        self.log_floor()
        self.loopback()
        for server in peers:
            velmora = isinstance(server, servers.Velmora)
            for console in (False, True) if velmora else (False,):
                suffix = "-console" if console else ""
                for log in (True, False):
                    with server.running(log, console):
                        self.warm_up(server)
                        self.small_files(server, ("small-log" if log else "small") + suffix)
            with server.running():
                self.warm_up(server)
                self.large_files(server)
                self.connection_per_request(server)
                self.listing(server)
                if server.scales:
                    self.many_clients(server)
                    self.storm(server)
            # Memory rows start from a fresh server, so they count only what
            # their connections cost.
            with server.running():
                self.warm_up(server)
                self.idle_connections(server)
            if server.scales:
                with server.running():
                    self.warm_up(server)
                    self.slow_downloads(server)


def rows(p):
    """key, label, unit, higher is better (None: a reference figure, not a server's)."""
    return [
        ("small", "4 KiB, 64 keep-alive conns, no log", "req/s", True),
        ("small-cpu", "  server CPU per request", "us", False),
        ("small-syscalls", "  system calls per request", "count", False),
        ("small-console", "  console mode (-debug)", "req/s", True),
        ("small-console-cpu", "  console mode: server CPU per request", "us", False),
        ("small-log", "4 KiB, 64 keep-alive conns, log on", "req/s", True),
        ("small-log-cpu", "  server CPU per request", "us", False),
        ("small-log-syscalls", "  system calls per request", "count", False),
        ("small-log-console", "  console mode (-debug)", "req/s", True),
        ("small-log-console-cpu", "  console mode: server CPU per request", "us", False),
        ("floor", "  reference: %d log lines as open+seek+write+close, CPU" % LOG_LINES, "us", None),
        ("floor-noseek", "  reference: the same without the seek, CPU", "us", None),
        ("large", "%s MiB, 1 client" % "{:,}".format(p.large_mib), "MB/s", True),
        ("large-cpu", "  server CPU per GiB", "ms", False),
        ("large-spread", "  spread: fastest / slowest single fetch", "x", False),
        ("large8", "8 clients x %d MiB" % p.big_mib, "MB/s", True),
        ("large8-cpu", "  server CPU per GiB", "ms", False),
        ("loop1", "  reference: loopback sendfile, 1 stream", "MB/s", None),
        ("loop8", "  reference: loopback sendfile, 8 streams", "MB/s", None),
        ("connrate", "new connection per 4 KiB request, 64 at once", "req/s", True),
        ("tree-median", "listing %s files in %d folders, median" % ("{:,}".format(100 * p.tree_folders),
                                                                   p.tree_folders), "ms", False),
        ("tree-p99", "  p99", "ms", False),
        ("bigtree-median", "listing %s files in %s folders, median" % ("{:,}".format(100 * p.bigtree_folders),
                                                                      "{:,}".format(p.bigtree_folders)), "ms", False),
        ("bigtree-p99", "  p99", "ms", False),
        ("folder-median", "listing one folder of 100 files, median", "ms", False),
        ("folder-p99", "  p99", "ms", False),
        ("idle", "%s idle keep-alive conns, memory per conn" % "{:,}".format(p.idle), "bytes", False),
        ("many", "%s keep-alive clients, 4 KiB each in turn" % "{:,}".format(p.many), "req/s", True),
        ("many-cpu", "  server CPU per request", "us", False),
        ("many-p50", "  latency p50", "ms", False),
        ("many-p99", "  latency p99", "ms", False),
        ("slow-rss", "%s slow downloads of %d MiB, memory per download" % ("{:,}".format(p.slow), p.download_mib),
         "bytes", False),
        ("storm", "storm: %s clients at once x %d, 4 KiB and close" % ("{:,}".format(p.storm), p.storm_waves),
         "req/s", True),
        ("storm-p99", "  p99 from the storm's start to the reply", "ms", False),
        ("storm-retried", "  clients whose SYN or request was sent again", "count", False),
        ("storm-failed", "  clients that failed", "count", False),
    ]


# key -> (factor, compared with: "best" peer or a peer's name); PARITY: within the noise of the best peer
PARITY = "parity"
TARGETS = {
    "small": (1.2, "best"),
    "small-log": (1.1, "lighttpd"),
    "small-log-cpu": (0.9, "lighttpd"),
    "large": (1.0, "best"),
    "large-cpu": (1.0, "lighttpd"),
    "large-spread": (1.0, "lighttpd"),
    "large8": (1.0, "best"),
    "large8-cpu": (1.0, "lighttpd"),
    "connrate": (1.0, "best"),
    "tree-median": (1.0, "best"),
    "bigtree-median": (1.0, "best"),
    "many": (1.1, "nginx"),
    "many-cpu": PARITY,
    "many-p50": PARITY,
    "many-p99": (1.0, "nginx"),
    "slow-rss": PARITY,
    "storm": (1.2, "lighttpd"),
    "storm-p99": (1.0, "lighttpd"),
    "storm-retried": (1.0, "lighttpd"),
}
IDLE_LIMIT = 65536


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def tcp_settings():
    """The kernel's TCP choices that decide the large-package rows on loopback: the
    congestion control and the queueing discipline (without "fq", BBR paces each
    socket with its own timer)."""
    found = []
    for name in ("net/ipv4/tcp_congestion_control", "net/core/default_qdisc"):
        try:
            with open("/proc/sys/" + name) as f:
                found.append("%s %s" % (name.rsplit("/", 1)[1], f.read().strip()))
        except OSError:
            pass
    return ", ".join(found) or "unknown"


def fmt(value, unit):
    if value is None:
        return "-"
    if unit in ("ms", "us", "x") or (unit == "count" and value < 100 and value != int(value)):
        return "%.2f" % value if value < 100 else "{:,.0f}".format(value)
    return "{:,.0f}".format(value)


def target_text(key, higher, mine, median, peers):
    """The target column: what the row aims at, the ratio, met or missed."""
    if key == "idle":
        return "<= {:,}: {}".format(IDLE_LIMIT, "met" if mine <= IDLE_LIMIT else "MISSED")
    if key not in TARGETS:
        return ""
    parity = TARGETS[key] == PARITY
    factor, against = ((1 - NOISE if higher else 1 + NOISE), "best") if parity else TARGETS[key]
    if against == "best":
        figures = [median[(key, p)] for p in peers[1:] if not p.startswith("Velmora") and (key, p) in median]
        if not figures:
            return ""
        theirs, name = (max(figures) if higher else min(figures)), "best"
    else:
        theirs, name = median.get((key, against)), against
        if theirs is None:
            return ""
    ratio = mine / theirs if theirs else (1.0 if not mine else float("inf"))
    met = ratio >= factor if higher else ratio <= factor
    return "%s %.1fx %s%s: %.2f %s" % (">=" if higher else "<=", factor, name, " (parity)" if parity else "",
                                        ratio, "met" if met else "MISSED")


def print_table(runner, names, rounds, elapsed):
    """Prints the table; returns how many server rows lack VelmoraService's figure."""
    median = {key: statistics.median(v) for key, v in runner.results.items()}
    for (row, server), rates in runner.fetch_rates.items():
        if min(rates) > 0:
            median[(row + "-spread", server)] = max(rates) / min(rates)
    peers = names[1:]
    table = rows(runner.sizes)
    label_width = max(len(r[1]) + len(r[2]) + 3 for r in table)
    header = "%-*s %14s" % (label_width, "workload (unit)", names[0])
    header += "".join(" %10s" % p for p in peers)
    header += "".join(" %9s" % ("x" + (p[8:16] if p.startswith("Velmora-") else p[:8])) for p in peers)
    header += "   target"
    print()
    print("VelmoraService vs peers on loopback: median of %d rounds; x = VelmoraService / peer "
          "(rates: higher is better; times, CPU, memory, counts: lower is better)" % rounds)
    print(header)
    print("-" * len(header))
    missing = 0
    for key, label, unit, higher in table:
        text = "%-*s" % (label_width, "%s (%s)" % (label, unit))
        if higher is None:
            print("%s %14s" % (text, fmt(median.get((key, "reference")), unit)))
            continue
        mine = median.get((key, names[0]))
        missing += mine is None
        text += " %14s" % fmt(mine, unit)
        for p in peers:
            text += " %10s" % fmt(median.get((key, p)), unit)
        for p in peers:
            theirs = median.get((key, p))
            text += " %9s" % ("%.2f" % (mine / theirs) if mine is not None and theirs else "-")
        if mine is not None:
            text += "   " + target_text(key, higher, mine, median, names)
        print(text.rstrip())
    if runner.notes:
        print()
        print("Notes (median of rounds, or the first round's text):")
        for k in sorted({k for k, _ in runner.notes}):
            parts = []
            for n in names:
                values = runner.notes.get((k, n))
                if values:
                    parts.append("%s %s" % (n, values[0] if isinstance(values[0], str) else
                                            statistics.median(values)))
            print("  %s: %s" % (k, ", ".join(parts)))
    p = runner.sizes
    print()
    print("VelmoraService ran as in production (the service body in the foreground, /console, no console echo);")
    print("the console-mode rows ran it with -debug, its console output to /dev/null. Server CPU per request:")
    print("user + system time of the serving process (/proc) over the timed run, divided by the requests served;")
    print("steadier than the rates, which swing between identical runs. The log floor: %d lines of %d bytes per"
          % (LOG_LINES, LOG_LINE_BYTES))
    print("request, each opened (create, append), sought to its end, written and closed, on the servers' CPU")
    print("and the disk of the logs. Without the seek: what a file opened for appending needs. System calls per")
    print("request: strace -c -f on the serving process over a short extra wrk run. Large-package CPU: the")
    print("serving process's user + system time over the fetches, per GiB sent.")
    print("Listing rows: VelmoraService answers one request with the whole tree (ListFolderContents.asp);")
    print("nginx and lighttpd (autoindex) and python list one folder per request, so their tree figures are the")
    print("time for the same information: the top folder and each of its folders, on one connection.")
    print("Connection per request: servers that reach the same rate there are held by the load client")
    print("(one thread on one core), not by themselves.")
    print("Scale rows (python left out: a thread per connection): every server with %s descriptors; the"
          % "{:,}".format(servers.descriptor_limit()))
    print("keep-alive clients are all connected and served once before the %g s timed run; slow downloads read"
          % p.many_seconds)
    print("%s bytes/s each through a %s-byte receive buffer, memory taken %g s after all are under way"
          % ("{:,}".format(p.slow_rate), "{:,}".format(p.slow_receive_buffer), p.slow_settle))
    print("(RSS growth of a fresh server per download); storm rates count each wave from its first connect to")
    print("its last reply. Parity: within %d%% of the best peer." % round(NOISE * 100))
    print("Servers ran on CPU %s, load clients on CPU %s; large-package figures sum %d fetches each."
          % (",".join(map(str, sorted(servers.SERVER_CPUS))), ",".join(map(str, sorted(servers.CLIENT_CPUS))),
             p.large_repeats))
    print("MB = 10^6 bytes. Load average before and after: %s / %s (other load disturbs the figures)."
          % (runner.load_before, load_average()))
    print("TCP: %s." % tcp_settings())
    print("Total time %.0f s." % elapsed)
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the VelmoraService release binary")
    parser.add_argument("--loadclient", required=True, help="bench/tools built")
    parser.add_argument("--data", required=True, help="folder for the generated document root")
    parser.add_argument("--work", required=True, help="folder for configurations and logs")
    parser.add_argument("--smoke", action="store_true",
                        help="a few seconds on a tiny data set: every workload runs, the figures mean nothing")
    parser.add_argument("--profile", action="store_true",
                        help="perf profiles of the small-package rows (VelmoraService, lighttpd) instead of the table")
    parser.add_argument("--rounds", type=int, help="rounds (default 5; smoke 1)")
    parser.add_argument("--seconds", type=int, help="length of each timed wrk and connrate run (default 5)")
    parser.add_argument("--only", default="", help="comma-separated peer names to run (default: all; smoke: lighttpd)")
    parser.add_argument("--compare", action="append", default=[], metavar="BINARY[=NAME]",
                        help="another VelmoraService binary (e.g. an older build), shown as an extra column named "
                             "Velmora-NAME; may be given more than once")
    args = parser.parse_args()
    # The servers get these in their configurations: relative paths would be read from their own folders.
    args.data, args.work = os.path.abspath(args.data), os.path.abspath(args.work)
    sizes = SMOKE if args.smoke else FULL
    sizes.rounds = args.rounds or sizes.rounds
    sizes.seconds = args.seconds or sizes.seconds
    only = args.only or ("lighttpd" if args.smoke else "")

    started = time.monotonic()
    os.makedirs(args.work, exist_ok=True)
    print("generating the packages folder in %s (once)..." % args.data, flush=True)
    make_data(args.data, sizes)
    here = os.path.dirname(os.path.abspath(__file__))
    all_servers = [servers.Velmora(args.data, args.work, args.binary),
                   servers.Nginx(args.data, args.work),
                   servers.Lighttpd(args.data, args.work),
                   servers.PythonHttpServer(args.data, args.work, os.path.join(here, "pyserver.py"))]
    for n, other in enumerate(args.compare):
        binary, _, name = other.partition("=")
        all_servers.insert(1 + n, servers.Velmora(args.data, args.work, binary, "Velmora-" + (name or "compare%d" % (n + 1))))
    if only:
        wanted = only.split(",")
        all_servers = [s for s in all_servers if s.name in wanted or isinstance(s, servers.Velmora)]
    needed = ["wrk"] + ["perf"] * args.profile + [s.program for s in all_servers if s.program]
    absent = [p for p in needed if not shutil.which(p)]
    if absent:
        print("not installed: %s (bench/run installs the peers and wrk; perf comes with linux-perf)"
              % ", ".join(absent), file=sys.stderr)
        return 77  # the test command counts this as skipped
    runner = Runner(args, sizes)
    if args.profile:
        return perfprofile.run(runner, [s for s in all_servers
                                        if isinstance(s, servers.Velmora) or s.name == "lighttpd"])
    for n in range(sizes.rounds):
        print("round %d of %d..." % (n + 1, sizes.rounds), flush=True)
        runner.round(all_servers)
    missing = print_table(runner, [s.name for s in all_servers], sizes.rounds, time.monotonic() - started)
    if missing:
        print("%d rows have no VelmoraService figure" % missing, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
