"""bench/run --profile: where the server's time goes on the small-package workload.

For VelmoraService (production mode) and lighttpd, without and with the
request log, perf samples the serving process during the timed wrk run; the
flat profile's top entries are printed beside the CPU time per request.
"""
import os
import signal
import subprocess

import servers

TOP = 25


def top_entries(perf_data):
    report = subprocess.run(["perf", "report", "-i", perf_data, "--no-children", "--stdio", "-g", "none",
                             "--percent-limit", "0.5", "--fields", "overhead,dso,sym"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True).stdout
    return [line for line in report.splitlines() if line.strip() and not line.startswith("#")][:TOP]


def run(runner, server_list):
    for server in server_list:
        for log in (False, True):
            row = "small-log" if log else "small"
            with server.running(log):
                runner.warm_up(server)
                perf_data = os.path.join(runner.args.work, "%s-%s.perf" % (server.name, row))
                recorder = subprocess.Popen(["perf", "record", "-q", "-F", "999", "-o", perf_data,
                                             "-p", str(server.serving_pid())],
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    user, system = runner.small_files(server, row)
                finally:
                    recorder.send_signal(signal.SIGINT)
                    recorder.wait(timeout=60)
            print()
            print("%s, 4 KiB on 64 connections, %s: %.2f us CPU per request (user %.2f, system %.2f); top entries:"
                  % (server.name, "log on" if log else "no log", user + system, user, system))
            for line in top_entries(perf_data):
                print("  " + " ".join(line.split()))
            os.remove(perf_data)
