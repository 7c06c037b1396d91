#!/usr/bin/python3
"""A real FTP server for tests and benchmarks: pyftpdlib on loopback.

Serves ROOT to one user, listens on 127.0.0.1 at a port the kernel picks and
prints "PORT <n>" on its first output line. Passive data ports also come from
the ephemeral range. Runs until terminated.
"""
import argparse
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    # The address the 227 reply names instead of the listening one, as a
    # server behind NAT does.
    parser.add_argument("--masquerade")
    args = parser.parse_args()

    # Quiet: a line per command on stderr would slow down benchmarks.
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.auth_failed_timeout = 0   # a refused login answers at once
    Handler.passive_ports = None      # kernel-chosen ephemeral ports
    Handler.banner = "Test server ready."
    if args.masquerade:
        Handler.masquerade_address = args.masquerade

    server = FTPServer(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
