#!/usr/bin/python3
"""Local SMTP server of the loopback mail system.

Accepts mail for the users of a passwd file (local part, any domain, any
letter case) and delivers each accepted message into every recipient's
Maildir the way a local delivery agent does: written under tmp/ with a unique
name, flushed, then renamed into new/. Unknown recipients get 550. Line ends
are stored as LF, as Maildir files are; dovecot serves them with CR LF again.

Run it with Debian's /usr/bin/python3 (python3-aiosmtpd lives there). Started
as root it binds its port and then drops to the mail user, so the delivered
files belong to the same user as the Maildirs. SIGTERM stops it.
"""

import argparse
import asyncio
import logging
import os
import pwd
import signal
import socket
import sys
import time

from aiosmtpd.smtp import SMTP


class MaildirDelivery:
    """aiosmtpd handler: envelope checks and Maildir delivery."""

    def __init__(self, users):
        # users: lower-case local part -> Maildir path
        self.users = users
        self.seq = 0
        self.host = socket.gethostname().replace("/", "_").replace(":", "_")

    def _maildir_for(self, address):
        local = address.rsplit("@", 1)[0] if "@" in address else address
        return self.users.get(local.lower())

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self._maildir_for(address) is None:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    def _unique_name(self):
        self.seq += 1
        now = time.time()
        sec = int(now)
        usec = int((now - sec) * 1_000_000)
        return "%d.M%06dP%dQ%d.%s" % (sec, usec, os.getpid(), self.seq, self.host)

    def _deliver(self, maildir, data):
        name = self._unique_name()
        tmp = os.path.join(maildir, "tmp", name)
        new = os.path.join(maildir, "new", name)
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            view = memoryview(data)
            while view:
                written = os.write(fd, view)
                view = view[written:]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(tmp, new)
        return name

    async def handle_DATA(self, server, session, envelope):
        data = envelope.original_content or b""
        data = data.replace(b"\r\n", b"\n")
        if data and not data.endswith(b"\n"):
            data += b"\n"
        names = []
        try:
            for rcpt in envelope.rcpt_tos:
                names.append(self._deliver(self._maildir_for(rcpt), data))
        except OSError as exc:
            logging.error("delivery failed: %s", exc)
            return "451 4.3.0 Local delivery failed"
        logging.info("delivered from <%s> to %s as %s", envelope.mail_from,
                     ",".join(envelope.rcpt_tos), ",".join(names))
        return "250 2.0.0 OK delivered"


def read_users(passwd_file):
    """Users of a dovecot passwd-file: name -> home + /Maildir."""
    users = {}
    with open(passwd_file, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(":")
            if len(fields) >= 6 and fields[0] and not fields[0].startswith("#"):
                users[fields[0].lower()] = os.path.join(fields[5], "Maildir")
    return users


def drop_privileges(user):
    if os.getuid() != 0:
        return
    pw = pwd.getpwnam(user)
    os.setgroups([])
    os.setgid(pw.pw_gid)
    os.setuid(pw.pw_uid)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    ap.add_argument("--address", required=True)
    ap.add_argument("--port", type=int, default=25)
    ap.add_argument("--passwd", required=True, help="dovecot passwd-file with the users")
    ap.add_argument("--user", default="mail", help="user to run as after binding (when root)")
    args = ap.parse_args()

    logging.basicConfig(stream=sys.stderr, level=logging.INFO,
                        format="%(asctime)s smtpd[%(process)d] %(levelname)s %(message)s")
    handler = MaildirDelivery(read_users(args.passwd))

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    # A fixed host name: no name lookup on start, none per connection.
    factory = lambda: SMTP(handler, hostname="mail.zvmail32.test", ident="zvmail32 local SMTP",
                           decode_data=False, timeout=120)
    server = loop.run_until_complete(
        loop.create_server(factory, host=args.address, port=args.port, reuse_address=True))
    drop_privileges(args.user)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    logging.info("listening on %s:%d for %s", args.address, args.port, ",".join(sorted(handler.users)))
    loop.run_until_complete(stop.wait())
    server.close()
    loop.run_until_complete(server.wait_closed())
    loop.close()
    logging.info("stopped")


if __name__ == "__main__":
    main()
