#!/usr/bin/python3
"""A reference POP3 client for the receive benchmarks: on one connection,
for every message RETR, write it to a file of its own in DIR, DELE; then
QUIT. Python's poplib, nothing else.

  pop3_client.py HOST PORT USER PASSWORD DIR [--tls implicit|starttls --cafile CA.pem]
"""

import argparse
import os
import poplib
import ssl
import sys


def main():
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("host")
    ap.add_argument("port", type=int)
    ap.add_argument("user")
    ap.add_argument("password")
    ap.add_argument("dir")
    ap.add_argument("--tls", choices=["implicit", "starttls"])
    ap.add_argument("--cafile")
    args = ap.parse_args()
    ctx = ssl.create_default_context(cafile=args.cafile) if args.tls else None
    if args.tls == "implicit":
        p = poplib.POP3_SSL(args.host, args.port, context=ctx, timeout=60)
    else:
        p = poplib.POP3(args.host, args.port, timeout=60)
        if args.tls == "starttls":
            p.stls(ctx)
    p.user(args.user)
    p.pass_(args.password)
    count = p.stat()[0]
    for i in range(1, count + 1):
        lines = p.retr(i)[1]
        with open(os.path.join(args.dir, "%08d.txt" % i), "wb") as f:
            f.write(b"".join(line + b"\n" for line in lines))
        p.dele(i)
    p.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
