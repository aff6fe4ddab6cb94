#!/usr/bin/env python3
"""Instructions and system calls per small-package request: a figure that a busy machine cannot disturb.

Runs the given VelmoraService binaries (for example the build before and
after a change) as in production (the service body in the foreground,
/console; -debug with --console-mode), each twice under valgrind's callgrind, with
A and then B keep-alive requests for a 4 KiB package from one client; the
difference of the two instruction totals divided by B - A is what one
request costs in the program's own code (start-up and exit cancel out). Then
once more without valgrind under strace -c -f, for the system calls per
request. callgrind counts instructions, not time: the figure is the same on
a quiet and on a loaded machine.

Usage: bench/instructions.py BINARY [BINARY ...] [--log] [--console-mode]
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

FEW, MANY = 1000, 6000
MODE = "/console"
REQUEST = b"GET /packages/small.bin HTTP/1.1\r\n\r\n"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(port, count):
    deadline = time.time() + 120
    while True:
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=60)
            break
        except OSError:
            if time.time() > deadline:
                raise
            time.sleep(0.2)
    with s:
        pending = b""
        for _ in range(count):
            s.sendall(REQUEST)
            while b"\r\n\r\n" not in pending:
                pending += s.recv(65536)
            head, pending = pending.split(b"\r\n\r\n", 1)
            length = int(re.search(rb"Content-Length: (\d+)", head).group(1))
            while len(pending) < length:
                pending += s.recv(65536)
            pending = pending[length:]


def run(binary, packages, count, log, wrapper):
    port = free_port()
    work = tempfile.mkdtemp(prefix="velmora-instructions-")
    args = [binary, MODE, f"-serverport:{port}", f"-packagespath:{packages}/"]
    if log:
        args.append(f"-logfile:{work}/log.txt")
    proc = subprocess.Popen(wrapper(work) + args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    fetch(port, count)
    proc.send_signal(2)
    proc.wait(120)
    return work


def instructions(binary, packages, count, log):
    work = run(binary, packages, count, log,
               lambda w: ["valgrind", "--tool=callgrind", f"--callgrind-out-file={w}/cg.out"])
    with open(f"{work}/cg.out") as f:
        return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def system_calls(binary, packages, count, log):
    port = free_port()
    work = tempfile.mkdtemp(prefix="velmora-instructions-")
    args = [binary, MODE, f"-serverport:{port}", f"-packagespath:{packages}/"]
    if log:
        args.append(f"-logfile:{work}/log.txt")
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    fetch(port, 1)  # listening, every thread started
    tracer = subprocess.Popen(["strace", "-c", "-f", "-o", f"{work}/strace.txt", "-p", str(proc.pid)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1)
    fetch(port, count)
    tracer.send_signal(2)
    tracer.wait(60)
    proc.send_signal(2)
    proc.wait(60)
    with open(f"{work}/strace.txt") as f:
        return int(re.search(r"^100\.00\s+\S+\s+\S+\s+(\d+)", f.read(), re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--log", action="store_true", help="with -logfile:")
    parser.add_argument("--console-mode", action="store_true", help="-debug instead of /console")
    args = parser.parse_args()
    global MODE
    if args.console_mode:
        MODE = "-debug"
    packages = tempfile.mkdtemp(prefix="velmora-instructions-packages-")
    with open(os.path.join(packages, "small.bin"), "wb") as f:
        f.write(os.urandom(4096))
    time.sleep(2.5)  # settled: kept in memory by the server, as in a steady state
    for binary in args.binaries:
        binary = os.path.abspath(binary)
        per_request = (instructions(binary, packages, MANY, args.log) -
                       instructions(binary, packages, FEW, args.log)) / (MANY - FEW)
        calls = (system_calls(binary, packages, MANY, args.log) -
                 system_calls(binary, packages, FEW, args.log)) / (MANY - FEW)
        print(f"{binary}: {per_request:,.0f} instructions and {calls:.2f} system calls per request"
              f" ({MODE}, {'log on' if args.log else 'no log'})")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
