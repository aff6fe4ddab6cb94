#!/usr/bin/env python3
"""Python's standard file server (http.server) as an administrator would start it,
given its fair best: HTTP/1.1, so connections stay open between requests, Nagle's
algorithm off (its documented switch; otherwise every reply, written as header and
body, waits for a delayed acknowledgement), and a listen backlog of 1024 instead of 5.

Usage: pyserver.py PORT ROOT (--quiet | --log FILE)
"""
import functools
import http.server
import sys


def main():
    port, root, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    log = open(sys.argv[4], "a", buffering=1) if mode == "--log" else None

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        disable_nagle_algorithm = True

        def log_message(self, format, *args):
            if log is not None:
                log.write("%s - - [%s] %s\n" % (self.address_string(), self.log_date_time_string(), format % args))

    class Server(http.server.ThreadingHTTPServer):
        request_queue_size = 1024

    Server(("127.0.0.1", port), functools.partial(Handler, directory=root)).serve_forever()


if __name__ == "__main__":
    main()
