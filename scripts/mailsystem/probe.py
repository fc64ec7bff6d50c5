#!/usr/bin/python3
"""Readiness and shutdown checks for the loopback mail system.

  probe.py up ADDRESS SECONDS PID...   wait until SMTP (25) greets with 220 and
                                       POP3 (110) with +OK on ADDRESS; fail at
                                       once when one of the PIDs has ended
  probe.py down ADDRESS SECONDS        wait until nothing listens on ADDRESS
                                       ports 25 and 110 any more
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


def listening(address, port):
    """True when a socket listens on address:port (from /proc/net/tcp)."""
    want = "%s:%04X" % ("".join("%02X" % int(b) for b in reversed(address.split("."))), port)
    try:
        with open("/proc/net/tcp", encoding="ascii") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[1] == want and fields[3] == "0A":
                    return True
    except OSError:
        pass
    return False


def main():
    mode, address, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
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
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
