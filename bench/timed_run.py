#!/usr/bin/python3
"""Runs one client process for the benchmarks and prints "STATUS SECONDS CPU":
its exit status, its wall time in seconds, and the processor time (user +
system) it and the children it waited for used.

  timed_run.py [--window] [--cwd DIR] -- COMMAND [ARG...]

With --window (for zvmail32 with ZVMAIL32_ECHO_STATUS=lbAction) SECONDS is
the time from the first "lbAction: Sending" or "lbAction: Receiving" on the
program's standard error to the next "lbAction: Idle": its passes without
start-up and exit; "nan" when they never showed. Standard output is dropped;
without --window standard error goes through.
"""

import argparse
import os
import resource
import subprocess
import sys
import time


def main():
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("--window", action="store_true")
    ap.add_argument("--cwd", default=None)
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no command")

    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    proc = subprocess.Popen(command, cwd=args.cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE if args.window else None)
    begin = end = None
    if args.window:
        for raw in proc.stderr:
            line = raw.decode("latin-1")
            if begin is None and line.startswith(("lbAction: Sending", "lbAction: Receiving")):
                begin = time.monotonic()
            elif begin is not None and end is None and line.startswith("lbAction: Idle"):
                end = time.monotonic()
    status = proc.wait()
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    if args.window:
        seconds = "%.6f" % (end - begin) if begin is not None and end is not None else "nan"
    else:
        seconds = "%.6f" % wall
    print("%d %s %.6f" % (status, seconds, cpu))


if __name__ == "__main__":
    sys.exit(main())
