#!/usr/bin/python3
"""A real SFTP server for tests: asyncssh on loopback.

Serves ROOT (the login folder, also "/") to one user who logs in with the
password given or, with --client-key, with an ed25519 key that the server
makes, writes there private to its owner as ssh-keygen does (encrypted with
--client-passphrase when given) and authorizes. The host key is made afresh
at each start. Listens on 127.0.0.1 at a port the kernel picks and prints
one line: "PORT <n> <host key fingerprint> <host public key>". Runs until
terminated.

--sessions FILE keeps in FILE two numbers: the SSH connections open now and
those that ended without the client's disconnect message. --write-delay-ms N
answers each write request N ms late (a slow server that still makes progress).

--hide-posix-rename leaves that extension out of the server's list, as older
servers do; --stall-after N accepts the write requests after the Nth and never
answers them; --read-only NAME refuses every change inside ROOT/NAME;
--cut-after-change N drops the connection right after the Nth rename or
removal of the run is done, before its answer.
"""
import argparse
import asyncio
import logging
import os
import sys

from fixture_modules import require

require("asyncssh", "bcrypt")

import asyncssh  # noqa: E402
from asyncssh import sftp as sftp_module  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--client-key")
    parser.add_argument("--client-passphrase", default="")
    parser.add_argument("--sessions")
    parser.add_argument("--write-delay-ms", type=int, default=0)
    parser.add_argument("--hide-posix-rename", action="store_true")
    parser.add_argument("--stall-after", type=int)
    parser.add_argument("--read-only")
    parser.add_argument("--cut-after-change", type=int)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    logging.getLogger("asyncssh").setLevel(logging.WARNING)

    if args.hide_posix_rename:
        handler = sftp_module.SFTPServerHandler
        handler._extensions = [e for e in handler._extensions if e[0] != b"posix-rename@openssh.com"]

    root = os.path.realpath(args.root).encode()
    read_only = os.path.join(root, args.read_only.encode()) if args.read_only else None
    writes = [0]
    changes = [0]

    class Files(asyncssh.SFTPServer):
        def __init__(self, chan):
            super().__init__(chan, chroot=root)

        def guard(self, path):
            mapped = os.path.realpath(self.map_path(path))
            if read_only and (mapped == read_only or mapped.startswith(read_only + b"/")):
                raise asyncssh.SFTPPermissionDenied("Read-only folder")

        def open(self, path, pflags, attrs):
            if pflags & (asyncssh.FXF_WRITE | asyncssh.FXF_CREAT | asyncssh.FXF_TRUNC):
                self.guard(path)
            return super().open(path, pflags, attrs)

        def mkdir(self, path, attrs):
            self.guard(os.path.dirname(path.rstrip(b"/")) or b".")
            return super().mkdir(path, attrs)

        def changed(self):
            changes[0] += 1
            if changes[0] == args.cut_after_change:
                self.connection.abort()

        def remove(self, path):
            self.guard(path)
            super().remove(path)
            self.changed()

        def rename(self, oldpath, newpath):
            self.guard(newpath)
            super().rename(oldpath, newpath)
            self.changed()

        def posix_rename(self, oldpath, newpath):
            self.guard(newpath)
            super().posix_rename(oldpath, newpath)
            self.changed()

        async def write(self, file_obj, offset, data):
            writes[0] += 1
            if args.stall_after is not None and writes[0] > args.stall_after:
                await asyncio.Future()  # never answered
            if args.write_delay_ms:
                await asyncio.sleep(args.write_delay_ms / 1000)
            return super().write(file_obj, offset, data)

    sessions = [0, 0]

    def count_sessions(opened, lost=0):
        sessions[0] += opened
        sessions[1] += lost
        if args.sessions:
            # Replaced whole, so that a reader never sees half a line.
            with open(args.sessions + ".new", "w") as f:
                f.write("%d %d\n" % (sessions[0], sessions[1]))
            os.replace(args.sessions + ".new", args.sessions)

    class Server(asyncssh.SSHServer):
        def connection_made(self, conn):
            count_sessions(1)

        def connection_lost(self, exc):
            # None: the client said goodbye with a disconnect message.
            count_sessions(-1, 0 if exc is None else 1)

        def begin_auth(self, username):
            return True

        def password_auth_supported(self):
            return True

        def validate_password(self, username, password):
            return username == args.user and password == args.password

    host_key = asyncssh.generate_private_key("ssh-ed25519")
    options = {}
    if args.client_key:
        client_key = asyncssh.generate_private_key("ssh-ed25519")
        client_key.write_private_key(args.client_key, "openssh",
                                     passphrase=args.client_passphrase or None)
        os.chmod(args.client_key, 0o600)
        options["authorized_client_keys"] = asyncssh.import_authorized_keys(
            client_key.export_public_key("openssh").decode())

    async def serve():
        count_sessions(0)
        server = await asyncssh.create_server(
            Server, "127.0.0.1", 0, server_host_keys=[host_key], sftp_factory=Files,
            allow_scp=False, **options)
        port = server.sockets[0].getsockname()[1]
        public = host_key.export_public_key("openssh").decode().split()
        print("PORT %d %s %s %s" % (port, host_key.get_fingerprint("sha256"), public[0], public[1]), flush=True)
        await asyncio.Future()

    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
