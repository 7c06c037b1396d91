#!/usr/bin/python3
"""A real FTP server for tests and benchmarks: pyftpdlib on loopback.

Serves ROOT to one user, listens on 127.0.0.1 at a port the kernel picks and
prints "PORT <n>" on its first output line. Passive data ports also come from
the ephemeral range. Runs until terminated.

With --tls the server requires TLS on the control and data connections:
"explicit" (AUTH TLS) or "implicit" (TLS from the first byte), with the
certificate and key given. --require-resume refuses a data connection that
does not resume the control connection's TLS session, as many servers do.
--data-end ends the data connections it sends on without the TLS close
notice, as a cut on the path would: "bare", "bare-sized" (the 150 reply names
the file's size), "bare-short" (it names one byte more than is sent).
"""
import argparse
import logging
import os
import sys

from fixture_modules import require

require("pyftpdlib")

from pyftpdlib.authorizers import DummyAuthorizer  # noqa: E402
from pyftpdlib.handlers import FTPHandler  # noqa: E402
from pyftpdlib.servers import FTPServer  # noqa: E402


def tls_handler(args):
    require("OpenSSL")
    from OpenSSL import SSL
    from OpenSSL._util import lib as ssl_lib
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    context = SSL.Context(SSL.SSLv23_METHOD)
    context.use_certificate_chain_file(args.cert)
    context.use_privatekey_file(args.key)
    context.set_options(SSL.OP_NO_SSLv2 | SSL.OP_NO_SSLv3 | SSL.OP_NO_COMPRESSION)
    # Sessions of the control connection are looked up for its data connections.
    context.set_session_id(b"tarvo-tests")

    class DTP(TLS_DTPHandler):
        def readable(self):
            # A client may shake hands on a data connection before it sends
            # the transfer command; pyftpdlib would take the early bytes for a
            # hang-up and close the connection.
            if self._ssl_requested and not self._initialized:
                return self._ssl_accepting or self._ssl_want_read
            return super().readable()

        def close(self):
            if args.data_end and self._ssl_established:
                self._ssl_established = False  # no SSL shutdown: a bare FIN
            super().close()

        def handle_ssl_established(self):
            if args.require_resume and not ssl_lib.SSL_session_reused(self.socket._ssl):
                self.cmd_channel.respond("522 Data connection must resume the TLS session.")
                self.close()

    class Handler(TLS_FTPHandler):
        tls_control_required = True
        tls_data_required = True
        dtp_handler = DTP
        ssl_context = context

        def __init__(self, conn, server, ioloop=None):
            super().__init__(conn, server, ioloop)
            self.announced = None
            if self.connected and args.tls == "implicit":
                self.secure_connection(self.ssl_context)

        def ftp_RETR(self, file):
            if args.data_end in ("bare-sized", "bare-short"):
                self.announced = os.path.getsize(file) + (args.data_end == "bare-short")
            try:
                return super().ftp_RETR(file)
            finally:
                self.announced = None

        def respond(self, resp, logfun=None):
            if self.announced is not None and resp[:4] in ("125 ", "150 "):
                resp = "%s (%d bytes)." % (resp.rstrip("."), self.announced)
            if logfun is None:
                return super().respond(resp)
            return super().respond(resp, logfun)

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    # The address the 227 reply names instead of the listening one, as a
    # server behind NAT does.
    parser.add_argument("--masquerade")
    parser.add_argument("--tls", choices=["explicit", "implicit"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--require-resume", action="store_true")
    parser.add_argument("--data-end", choices=["bare", "bare-sized", "bare-short"])
    args = parser.parse_args()

    # Quiet: a line per command on stderr would slow down benchmarks.
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")

    if args.tls:
        Handler = tls_handler(args)
    else:
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
