#!/usr/bin/python3
"""Readiness and shutdown checks for the loopback mail system.

  probe.py up ADDRESS SECONDS PID...   wait until SMTP (25) greets with 220 and
                                       POP3 (110) with +OK on ADDRESS; fail at
                                       once when one of the PIDs has ended
  probe.py down ADDRESS SECONDS        wait until nothing listens on ADDRESS
                                       ports 25 and 110 any more
  probe.py free ADDRESS                check that ports 25 and 110 of ADDRESS
                                       can be bound: nothing listens there nor
                                       on all addresses (0.0.0.0 or ::)
Exit code 0 on success, 1 on timeout or a dead server (reason on stderr).
"""

import os
import socket
import sys
import time

PORTS = {25: b"220", 110: b"+OK"}


def greets(address, port, expect):
    try:
        with socket.create_connection((address, port), timeout=2) as s:
            s.settimeout(2)
            data = b""
            while b"\n" not in data:
                chunk = s.recv(512)
                if not chunk:
                    return False
                data += chunk
            return data.startswith(expect)
    except OSError:
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


def _hex4(address):
    return "".join("%02X" % int(b) for b in reversed(address.split(".")))


def listening(address, port):
    """True when a socket listens on address:port."""
    return "%s:%04X" % (_hex4(address), port) in _listeners("tcp")


def wildcard_listening(port):
    """True when a socket listens on port of every address (IPv4 or IPv6)."""
    return ("00000000:%04X" % port in _listeners("tcp")
            or "%s:%04X" % ("0" * 32, port) in _listeners("tcp6"))


def main():
    mode, address = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 0.0
    deadline = time.monotonic() + seconds
    if mode == "up":
        pids = [int(p) for p in sys.argv[4:]]
        pending = dict(PORTS)
        while True:
            for pid in pids:
                if not os.path.exists("/proc/%d" % pid):
                    print("mail system: server process %d ended during start-up" % pid, file=sys.stderr)
                    return 1
            for port, expect in list(pending.items()):
                if greets(address, port, expect):
                    del pending[port]
            if not pending:
                return 0
            if time.monotonic() > deadline:
                print("mail system: no greeting on %s port(s) %s within %g s"
                      % (address, ",".join(map(str, pending)), seconds), file=sys.stderr)
                return 1
            time.sleep(0.05)
    elif mode == "down":
        while any(listening(address, port) for port in PORTS):
            if time.monotonic() > deadline:
                print("mail system: %s still listening after %g s" % (address, seconds), file=sys.stderr)
                return 1
            time.sleep(0.05)
        return 0
    elif mode == "free":
        for port in PORTS:
            if listening(address, port):
                print("mail system: something already listens on %s port %d" % (address, port), file=sys.stderr)
                return 1
            if wildcard_listening(port):
                print("mail system: a server listens on port %d of every address (a system-wide mail "
                      "server?); stop it to run the local mail system" % port, file=sys.stderr)
                return 1
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
