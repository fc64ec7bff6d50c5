#!/usr/bin/python3
"""Empties a Maildir (dovecot's index files in it too) and fills it with
COUNT copies of a message ("Subject: TRANSPORT") whose body has LINES lines
of about 80 bytes, owned by the mail user, for the receive benchmarks.

  fill_maildir.py MAILDIR COUNT LINES       (as root)
"""

import os
import pwd
import shutil
import sys


def main():
    maildir, count, lines = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    mail = pwd.getpwnam("mail")
    for sub in ("cur", "new", "tmp"):
        shutil.rmtree(os.path.join(maildir, sub), ignore_errors=True)
    for name in os.listdir(maildir):
        path = os.path.join(maildir, name)
        if os.path.isfile(path):
            os.remove(path)
    for sub in ("cur", "new", "tmp"):
        os.mkdir(os.path.join(maildir, sub), 0o700)
        os.chown(os.path.join(maildir, sub), mail.pw_uid, mail.pw_gid)
    body = "".join("line %06d of the transaction data: ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\r\n" % i
                   for i in range(lines))
    for i in range(count):
        text = ("Return-Path: <robot@example.com>\r\nFrom: robot@example.com\r\nTo: %s@example.com\r\n"
                "Subject: TRANSPORT\r\nMessage-ID: <%d.bench@example.com>\r\n\r\n" % ("bench", i)) + body
        path = os.path.join(maildir, "new", "%d.M%dP1.bench,S=%d" % (1700000000 + i, i, len(text)))
        with open(path, "w", newline="") as f:
            f.write(text)
        os.chown(path, mail.pw_uid, mail.pw_gid)
    return 0


if __name__ == "__main__":
    sys.exit(main())
