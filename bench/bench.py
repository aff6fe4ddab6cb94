#!/usr/bin/env python3
"""Benchmarks VelmoraService side by side with nginx, lighttpd and Python's
http.server on loopback and prints one table. bench/run builds everything and
calls this; see the README's "Benchmarks" section.

Every round starts each server once with its request log and once without,
one server at a time, and runs every workload against it; the table shows
the median of the rounds. Ratios are VelmoraService's figure divided by the
peer's: above 1.0 is better for rates, below 1.0 is better for times and
memory.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

import servers

SMALL = "/packages/small.bin"          # 4 KiB
LARGE = "/packages/large.bin"          # 1 GiB
BIG = ["/packages/big%d.bin" % i for i in range(8)]  # 128 MiB each
LARGE_REPEATS = 4                       # fetches summed into one large-package figure
TREE_FOLDERS = ["d%02d" % i for i in range(100)]    # 100 files each
BIG_TREE_FOLDERS = ["d%03d" % i for i in range(1000)]  # 100 files each
MIB = 1 << 20
IDLE_CONNECTIONS = 2000


def make_data(root):
    """The packages folder every server serves; made once, kept under build/."""
    marker = os.path.join(root, "complete-1")
    if os.path.exists(marker):
        return
    packages = os.path.join(root, "packages")
    os.makedirs(packages, exist_ok=True)
    block = os.urandom(MIB)
    with open(os.path.join(packages, "small.bin"), "wb") as f:
        f.write(block[:4096])
    with open(os.path.join(packages, "large.bin"), "wb") as f:
        for _ in range(1024):
            f.write(block)
    for i in range(8):
        with open(os.path.join(packages, "big%d.bin" % i), "wb") as f:
            for _ in range(128):
                f.write(block)
    make_tree(os.path.join(packages, "tree"), TREE_FOLDERS, block)
    open(marker, "w").close()


def make_big_tree(root):
    """The listing tree of 100,000 files, made once beside the rest."""
    marker = os.path.join(root, "complete-bigtree-1")
    if os.path.exists(marker):
        return
    make_tree(os.path.join(root, "packages", "bigtree"), BIG_TREE_FOLDERS, os.urandom(1000))
    open(marker, "w").close()


def make_tree(path, folders, block):
    for folder in folders:
        os.makedirs(os.path.join(path, folder), exist_ok=True)
        for n in range(100):
            with open(os.path.join(path, folder, "f%03d.bin" % n), "wb") as f:
                f.write(block[:n * 10])


class Runner:
    def __init__(self, args):
        self.args = args
        self.client = args.loadclient
        self.results = {}   # (row, server) -> [figures]
        self.notes = {}     # (note, server) -> [figures]
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
        out = self.run(["wrk", "-t1", "-c64", "-d%ds" % self.args.seconds, server.url(SMALL)])
        rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        errors = re.search(r"Socket errors: (.*)", out)
        if errors or "Non-2xx" in out:
            self.note("wrk errors in " + row, server.name, (errors.group(1) if errors else "non-2xx replies"))
        self.record(row, server.name, rate)

    def fetch_rate(self, server, paths, repeats=LARGE_REPEATS):
        # One fetch takes a fraction of a second on loopback: several back to
        # back make a figure that a scheduling hiccup cannot swing.
        total_bytes, total_seconds = 0, 0.0
        for _ in range(repeats):
            out = self.run([self.client, "fetch", str(server.port)] + paths).split()
            total_bytes += int(out[0])
            total_seconds += float(out[1])
        return total_bytes / total_seconds / 1e6

    def large_files(self, server):
        self.record("large", server.name, self.fetch_rate(server, [LARGE]))
        self.record("large8", server.name, self.fetch_rate(server, BIG))

    def loopback(self):
        large = os.path.join(self.args.data, "packages", "large.bin")
        # Sender and receiver are both this one program: it gets every core,
        # as the server and its client have between them.
        every = servers.SERVER_CPUS | servers.CLIENT_CPUS
        out = self.run([self.client, "loopback", large, "1", str(1024 * MIB)], cpus=every).split()
        self.record("loop1", "reference", int(out[0]) / float(out[1]) / 1e6)
        out = self.run([self.client, "loopback", large, "8", str(128 * MIB)], cpus=every).split()
        self.record("loop8", "reference", int(out[0]) / float(out[1]) / 1e6)

    def connection_per_request(self, server):
        out = self.run([self.client, "connrate", str(server.port), SMALL, "64", str(self.args.seconds)]).split()
        requests, seconds, errors, slow = int(out[0]), float(out[1]), int(out[2]), int(out[3])
        self.record("connrate", server.name, requests / seconds)
        self.note("connection per request: replies that waited for a SYN retry (>= 0.9 s)", server.name, slow)
        self.note("connection per request: failed connects or replies", server.name, errors)

    def listing(self, server):
        path_file = os.path.join(self.args.work, "listing-paths.txt")
        # A slow server gets fewer samples (at least five) rather than a long run.
        for row, paths, samples in (("tree", server.tree_listing_paths("tree", TREE_FOLDERS), 100),
                                    ("bigtree", server.tree_listing_paths("bigtree", BIG_TREE_FOLDERS), 20),
                                    ("folder", [server.folder_listing_path("d42")], 500)):
            with open(path_file, "w") as f:
                f.write("\n".join(paths) + "\n")
            out = self.run([self.client, "latency", str(server.port), str(samples), "3", path_file]).split()
            self.record(row + "-median", server.name, float(out[0]))
            self.record(row + "-p99", server.name, float(out[1]))

    def idle_connections(self, server):
        pid = server.serving_pid()
        before = servers.rss_bytes(pid)
        holder = subprocess.Popen([self.client, "idle", str(server.port), SMALL, str(IDLE_CONNECTIONS)],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                  preexec_fn=servers.on_cpus(servers.CLIENT_CPUS))
        line = holder.stdout.readline()
        if not line.startswith("ready"):
            holder.kill()
            raise RuntimeError("idle connections could not be opened")
        time.sleep(0.5)
        after = servers.rss_bytes(pid)
        holder.stdin.close()
        holder.wait(timeout=30)
        self.record("idle", server.name, (after - before) / IDLE_CONNECTIONS)

    def warm_up(self, server):
        path_file = os.path.join(self.args.work, "warm-paths.txt")
        with open(path_file, "w") as f:
            f.write(SMALL + "\n")
        self.run([self.client, "latency", str(server.port), "50", "2", path_file])

    # -- rounds --------------------------------------------------------------

    def round(self, peers):
        self.loopback()
        for server in peers:
            server.start(log=True)
            try:
                self.warm_up(server)
                self.small_files(server, "small-log")
            finally:
                server.stop()
            server.start(log=False)
            try:
                self.warm_up(server)
                self.small_files(server, "small")
                self.large_files(server)
                self.connection_per_request(server)
                self.listing(server)
                self.idle_connections(server)
            finally:
                server.stop()


ROWS = [
    # key, label, unit, higher is better, reference-only
    ("small-log", "4 KiB, 64 keep-alive conns, log on", "req/s", True),
    ("small", "4 KiB, 64 keep-alive conns, no log", "req/s", True),
    ("large", "1 GiB, 1 client", "MB/s", True),
    ("large8", "8 clients x 128 MiB", "MB/s", True),
    ("loop1", "  reference: loopback sendfile, 1 stream", "MB/s", None),
    ("loop8", "  reference: loopback sendfile, 8 streams", "MB/s", None),
    ("connrate", "new connection per 4 KiB request, 64 at once", "req/s", True),
    ("tree-median", "listing 10,000 files in 100 folders, median", "ms", False),
    ("tree-p99", "listing 10,000 files in 100 folders, p99", "ms", False),
    ("bigtree-median", "listing 100,000 files in 1,000 folders, median", "ms", False),
    ("bigtree-p99", "listing 100,000 files in 1,000 folders, p99", "ms", False),
    ("folder-median", "listing one folder of 100 files, median", "ms", False),
    ("folder-p99", "listing one folder of 100 files, p99", "ms", False),
    ("idle", "2,000 idle keep-alive conns, memory per conn", "bytes", False),
]

TARGETS = {  # key -> (factor against the best peer, description)
    "small-log": (1.0, ">= 1.0x best"),
    "small": (1.0, ">= 1.0x best"),
    "large": (0.9, ">= 0.9x best"),
    "large8": (0.9, ">= 0.9x best"),
    "connrate": (1.0, ">= 1.0x best"),
    "tree-median": (1.0, "<= best"),
    "bigtree-median": (1.0, "<= best"),
}


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def fmt(value, unit):
    if value is None:
        return "-"
    if unit == "ms":
        return "%.2f" % value
    return "{:,.0f}".format(value)


def print_table(runner, names, rounds, elapsed):
    median = {key: statistics.median(v) for key, v in runner.results.items()}
    peers = names[1:]
    label_width = max(len(r[1]) + len(r[2]) + 3 for r in ROWS)
    header = "%-*s %12s" % (label_width, "workload (unit)", names[0])
    header += "".join(" %10s" % p for p in peers)
    header += "".join(" %9s" % ("x" + p[:8]) for p in peers)
    header += "   target"
    print()
    print("VelmoraService vs peers on loopback: median of %d rounds; x = VelmoraService / peer "
          "(rates: higher is better; ms and bytes: lower is better)" % rounds)
    print(header)
    print("-" * len(header))
    for key, label, unit, higher in ROWS:
        text = "%-*s" % (label_width, "%s (%s)" % (label, unit))
        if higher is None:
            print("%s %12s" % (text, fmt(median.get((key, "reference")), unit)))
            continue
        mine = median.get((key, names[0]))
        text += " %12s" % fmt(mine, unit)
        for p in peers:
            text += " %10s" % fmt(median.get((key, p)), unit)
        for p in peers:
            theirs = median.get((key, p))
            text += " %9s" % ("%.2f" % (mine / theirs) if mine is not None and theirs else "-")
        if key in TARGETS and mine is not None:
            factor, description = TARGETS[key]
            # The best of the other servers (the listing's peers are nginx and lighttpd).
            rivals = [p for p in peers if not p.startswith("Velmora") and not ("tree" in key and p == "python")]
            figures = [median[(key, p)] for p in rivals if (key, p) in median]
            best = max(figures) if higher else min(figures)
            ratio = mine / best
            met = ratio >= factor if higher else ratio <= factor
            text += "   %s: %.2f %s" % (description, ratio, "met" if met else "MISSED")
        elif key == "idle" and mine is not None:
            text += "   <= 65,536: %s" % ("met" if mine <= 65536 else "MISSED")
        print(text)
    if runner.notes:
        print()
        print("Notes (median of rounds):")
        keys = sorted({k for k, _ in runner.notes})
        for k in keys:
            parts = []
            for n in names:
                values = runner.notes.get((k, n))
                if values:
                    parts.append("%s %s" % (n, statistics.median(values) if not isinstance(values[0], str)
                                            else values[0]))
            print("  %s: %s" % (k, ", ".join(parts)))
    print()
    print("Listing rows: VelmoraService answers one request with the whole tree (ListFolderContents.asp);")
    print("nginx and lighttpd (autoindex) and python list one folder per request, so their tree figures are the")
    print("time for the same information: the top folder and each of its folders, 101 (1,001) requests on one")
    print("connection.")
    print("Connection per request: servers that reach the same rate there are held by the load client")
    print("(one thread on one core), not by themselves.")
    print("Servers ran on CPU %s, load clients on CPU %s; 1 GiB and 8 x 128 MiB figures sum %d fetches each."
          % (",".join(map(str, sorted(servers.SERVER_CPUS))), ",".join(map(str, sorted(servers.CLIENT_CPUS))),
             LARGE_REPEATS))
    print("MB = 10^6 bytes. Load average before and after: %s / %s (other load disturbs the figures)."
          % (runner.load_before, load_average()))
    print("Total time %.0f s." % elapsed)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the VelmoraService release binary")
    parser.add_argument("--loadclient", required=True, help="bench/tools built")
    parser.add_argument("--data", required=True, help="folder for the generated document root")
    parser.add_argument("--work", required=True, help="folder for configurations and logs")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=int, default=5, help="length of each timed wrk and connrate run")
    parser.add_argument("--only", default="", help="comma-separated peer names to run (default: all)")
    parser.add_argument("--compare", default="", help="another VelmoraService binary, shown as an extra column")
    args = parser.parse_args()

    started = time.monotonic()
    os.makedirs(args.work, exist_ok=True)
    print("generating the packages folder in %s (once)..." % args.data, flush=True)
    make_data(args.data)
    make_big_tree(args.data)
    here = os.path.dirname(os.path.abspath(__file__))
    all_servers = [servers.Velmora(args.data, args.work, args.binary),
                   servers.Nginx(args.data, args.work),
                   servers.Lighttpd(args.data, args.work),
                   servers.PythonHttpServer(args.data, args.work, os.path.join(here, "pyserver.py"))]
    if args.compare:
        all_servers.insert(1, servers.Velmora(args.data, args.work, args.compare, "Velmora-compare"))
    if args.only:
        wanted = args.only.split(",")
        all_servers = [s for s in all_servers if s.name in wanted or isinstance(s, servers.Velmora)]
    runner = Runner(args)
    for n in range(args.rounds):
        print("round %d of %d..." % (n + 1, args.rounds), flush=True)
        runner.round(all_servers)
    print_table(runner, [s.name for s in all_servers], args.rounds, time.monotonic() - started)


if __name__ == "__main__":
    sys.exit(main())
