#!/usr/bin/python3
"""Readiness and shutdown checks for the loopback mail system.

  probe.py [PORTS] up ADDRESS SECONDS PID...   wait until SMTP greets with 220
                                               and POP3 (and POP3S, through
                                               TLS) with +OK on ADDRESS; fail
                                               at once when one of the PIDs
                                               has ended
  probe.py [PORTS] down ADDRESS SECONDS        wait until nothing listens on
                                               the ports of ADDRESS any more
  probe.py [PORTS] free ADDRESS                check that the ports of ADDRESS
                                               can be bound: nothing listens
                                               there nor on all addresses
PORTS: --smtp N (default 25), --pop N (default 110), --pop3s N (default none).
ADDRESS is an IPv4 or IPv6 address. Exit code 0 on success, 1 on timeout or a
dead server (reason on stderr).
"""

import argparse
import os
import socket
import ssl
import sys
import time


def greets(address, port, expect, tls=False):
    try:
        with socket.create_connection((address, port), timeout=2) as raw:
            s = raw
            if tls:
                # Readiness only: the certificate is the tests' business.
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                ctx.check_hostname = False
                ctx.verify_mode = ssl.CERT_NONE
                s = ctx.wrap_socket(raw)
            s.settimeout(2)
            data = b""
            while b"\n" not in data:
                chunk = s.recv(512)
                if not chunk:
                    return False
                data += chunk
            return data.startswith(expect)
    except (OSError, ssl.SSLError):
        return False


def _listeners(table):
    """Local "ADDRHEX:PORTHEX" of the listening sockets in /proc/net/TABLE."""
    out = set()
    try:
        with open("/proc/net/" + table, encoding="ascii") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[3] == "0A":
                    out.add(fields[1])
    except OSError:
        pass
    return out


def _hex(address):
    """The address as /proc/net/tcp{,6} shows it: 32-bit words in host order."""
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    raw = socket.inet_pton(family, address)
    return "".join("%02X" % b for i in range(0, len(raw), 4) for b in reversed(raw[i:i + 4]))


def _table(address):
    return "tcp6" if ":" in address else "tcp"


def listening(address, port):
    """True when a socket listens on address:port."""
    return "%s:%04X" % (_hex(address), port) in _listeners(_table(address))


def wildcard_listening(port):
    """True when a socket listens on port of every address (IPv4 or IPv6)."""
    return ("00000000:%04X" % port in _listeners("tcp")
            or "%s:%04X" % ("0" * 32, port) in _listeners("tcp6"))


def main():
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("--smtp", type=int, default=25)
    ap.add_argument("--pop", type=int, default=110)
    ap.add_argument("--pop3s", type=int, default=0)
    ap.add_argument("mode", choices=["up", "down", "free"])
    ap.add_argument("address")
    ap.add_argument("rest", nargs="*")
    args = ap.parse_args()
    address = args.address
    # port -> (greeting, through TLS)
    ports = {args.smtp: (b"220", False), args.pop: (b"+OK", False)}
    if args.pop3s:
        ports[args.pop3s] = (b"+OK", True)
    seconds = float(args.rest[0]) if args.rest else 0.0
    deadline = time.monotonic() + seconds
    if args.mode == "up":
        pids = [int(p) for p in args.rest[1:]]
        pending = dict(ports)
        while True:
            for pid in pids:
                if not os.path.exists("/proc/%d" % pid):
                    print("mail system: server process %d ended during start-up" % pid, file=sys.stderr)
                    return 1
            for port, (expect, tls) in list(pending.items()):
                if greets(address, port, expect, tls):
                    del pending[port]
            if not pending:
                return 0
            if time.monotonic() > deadline:
                print("mail system: no greeting on %s port(s) %s within %g s"
                      % (address, ",".join(map(str, pending)), seconds), file=sys.stderr)
                return 1
            time.sleep(0.05)
    elif args.mode == "down":
        while any(listening(address, port) for port in ports):
            if time.monotonic() > deadline:
                print("mail system: %s still listening after %g s" % (address, seconds), file=sys.stderr)
                return 1
            time.sleep(0.05)
        return 0
    for port in ports:
        if listening(address, port):
            print("mail system: something already listens on %s port %d" % (address, port), file=sys.stderr)
            return 1
        if wildcard_listening(port):
            print("mail system: a server listens on port %d of every address (a system-wide mail "
                  "server?); stop it to run the local mail system" % port, file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
