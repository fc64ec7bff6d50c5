#!/usr/bin/python3
"""The daemon's soak, for bench/soak.sh (which starts the mail system).

The built program runs as a daemon (DAEMON 1) against the local SMTP server
and dovecot. This script plays the Zorvik application beside it: it keeps
OUT filled with pairs addressed to the mailbox the program fetches, and
takes the filed pairs out of IN. Every message carries a line of its own
("Soak-Id: <run> <n>"), so each is followed from OUT through SMTP, the
mailbox and POP3 into IN. After every cycle (the action label's last "Idle")
it samples the program's resident memory, its open descriptors and the
cycle's time per message carried (the passes' time, from "Sending" or
"Receiving" to "Idle", over the messages sent and filed in it).

It fails (status 1) when a message is lost or filed twice, when the program
ends by itself or not with status 0 on SIGTERM, or when, after the warm-up
(the first tenth of the messages), the memory grows by more than 10%, the
fewest descriptors held in the last third of the cycles exceed those of the
first third by more than 10%, or the median time per message of the last
third of the cycles exceeds that of the first third by more than half.

  soak.py --program P --host H --user U --password W --maildir M [-n N] [--batch B]
"""

import argparse
import os
import queue
import signal
import statistics
import subprocess
import sys
import threading
import time

STAMP = ("import sys, time\n"
         "for line in sys.stdin.buffer:\n"
         "    sys.stdout.buffer.write(b'%.6f ' % time.monotonic() + line)\n"
         "    sys.stdout.buffer.flush()\n")
FILLER = "".join("line %02d of the consignment: ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789 abcdefghij\r\n" % i
                 for i in range(22))


class Soak:
    def __init__(self, args):
        self.args = args
        self.run = "%x" % (int(time.time()) & 0xFFFFFF)
        self.inst = os.path.join(args.work, "instance")
        self.out = os.path.join(self.inst, "out")
        self.inn = os.path.join(self.inst, "in")
        self.fed = 0
        self.waiting = set()   # ids in OUT
        self.sent = 0
        self.received = {}     # id -> times filed
        self.samples = []      # (cycle, sent, received, rss kB, fds, seconds per message or None)

    # --- the application's side

    def text(self, n):
        return ("From: zorvik@soak.example\r\nTo: %s@zorvik\r\nSubject: TRANSPORT\r\n\r\nSoak-Id: %s %06d\r\n%s"
                % (self.args.user, self.run, n, FILLER))

    def feed(self):
        """Tops OUT up to the batch; the envelope appears last, whole."""
        while self.fed < self.args.count and len(self.waiting) < self.args.batch:
            self.fed += 1
            base = os.path.join(self.out, "TM%06d" % self.fed)
            with open(base + ".TXT", "w", newline="") as f:
                f.write(self.text(self.fed))
            tmp = os.path.join(self.out, ".TM%06d.tmp" % self.fed)
            with open(tmp, "w", newline="") as f:
                f.write("zvmailer_windows\r\nzorvik@soak.example\r\n%s@zorvik\r\n" % self.args.user)
            os.rename(tmp, base + ".WRK")
            self.waiting.add(self.fed)

    def count_sent(self):
        """Counts the pairs that left OUT; returns how many."""
        present = {int(n[2:8]) for n in os.listdir(self.out) if n.startswith("TM") and n.endswith(".WRK")}
        gone = self.waiting - present
        self.waiting -= gone
        self.sent += len(gone)
        return len(gone)

    def take_filed(self):
        """Takes the filed pairs out of IN; returns how many."""
        filed = 0
        for name in os.listdir(self.inn):
            if name.startswith(".") or not name.endswith(".WRK"):
                continue
            base = os.path.join(self.inn, name[:-4])
            with open(base + ".TXT", encoding="latin-1") as f:
                ids = [line.split()[2] for line in f if line.startswith("Soak-Id: %s " % self.run)]
            for i in ids:
                self.received[i] = self.received.get(i, 0) + 1
            os.remove(base + ".WRK")
            os.remove(base + ".TXT")
            filed += 1
        return filed

    def mailbox_empty(self):
        return all(not os.listdir(os.path.join(self.args.maildir, sub)) for sub in ("new", "cur"))

    # --- the program

    def start(self):
        for d in (self.out, self.inn):
            os.makedirs(d)
        os.symlink(os.path.abspath(self.args.program), os.path.join(self.inst, "zvmail32"))
        a = self.args
        lines = ["SMTP %s" % a.host, "POP %s" % a.host, "USERNAME %s" % a.user, "PASSWORD %s" % a.password,
                 "ROBOT robot", "IN %s/" % self.inn, "OUT %s/" % self.out, "COUNTER 0", "LOG YES",
                 "DELETEALL YES", "DAEMON 1"]
        fd = os.open(os.path.join(self.inst, "ZVMAIL32.INI"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w", newline="") as f:
            f.write("".join(line + "\r\n" for line in lines))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", ZVMAIL32_ECHO_STATUS="lbAction")
        self.proc = subprocess.Popen([os.path.join(self.inst, "zvmail32")], cwd=self.inst, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # Lines are stamped as they come by a process of their own, whatever
        # this one is doing (feeding OUT while a cycle starts, say).
        self.stamper = subprocess.Popen([sys.executable, "-c", STAMP], stdin=self.proc.stderr, stdout=subprocess.PIPE)
        self.proc.stderr.close()
        self.lines = queue.Queue()
        threading.Thread(target=self.read_stamped, daemon=True).start()

    def read_stamped(self):
        for raw in self.stamper.stdout:
            when, _, line = raw.decode("latin-1").rstrip("\n").partition(" ")
            self.lines.put((float(when), line))
        self.lines.put((time.monotonic(), None))

    def sample(self):
        pid = self.proc.pid
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return rss, len(os.listdir("/proc/%d/fd" % pid))

    def cycles(self):
        """Runs until every message went both ways and the mailbox is empty;
        returns a reason when the run broke off."""
        deadline = time.monotonic() + self.args.timeout
        began = None
        busy = 0.0
        receiving = False
        cycle = 0
        while True:
            try:
                when, line = self.lines.get(timeout=max(1.0, deadline - time.monotonic()))
            except queue.Empty:
                return "no end within %d s" % self.args.timeout
            if line is None:
                return "the program ended by itself (status %s)" % self.proc.wait()
            if line in ("lbAction: Sending", "lbAction: Receiving"):
                began = when
                receiving = line.endswith("Receiving")
                continue
            if line != "lbAction: Idle" or began is None:
                continue
            busy += when - began
            began = None
            if not receiving:
                continue
            cycle += 1
            # Sampled first, while the program is idle; then OUT before IN:
            # the next cycle may start within a second.
            rss, fds = self.sample()
            moved = self.count_sent()
            self.feed()
            moved += self.take_filed()
            self.samples.append((cycle, self.sent, sum(self.received.values()), rss, fds,
                                 busy / moved if moved else None))
            busy = 0.0
            if any(times > 1 for times in self.received.values()):
                return "a message was filed twice"
            if self.fed == self.args.count and not self.waiting and self.mailbox_empty():
                return None
            if time.monotonic() > deadline:
                return "no end within %d s" % self.args.timeout

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return "killed"

    # --- the verdict

    def report(self, broke, status):
        a = self.args
        print("soak: %d messages each way, up to %d pairs in OUT per cycle, DAEMON 1; %d cycles; load average %.1f"
              % (a.count, a.batch, len(self.samples), os.getloadavg()[0]))
        print("%6s %8s %8s %9s %5s %10s" % ("cycle", "sent", "filed", "RSS kB", "fds", "ms/msg"))
        if a.csv:
            with open(a.csv, "w") as f:
                f.write("cycle,sent,filed,rss_kb,fds,seconds_per_message\n")
                f.writelines("%d,%d,%d,%d,%d,%s\n" % (s[:5] + ("%.6f" % s[5] if s[5] is not None else "",))
                             for s in self.samples)
        step = max(1, len(self.samples) // 20)
        for i, (cycle, sent, filed, rss, fds, per) in enumerate(self.samples):
            if i % step == 0 or i == len(self.samples) - 1:
                print("%6d %8d %8d %9d %5d %10s" % (cycle, sent, filed, rss, fds,
                                                     "%.2f" % (per * 1000) if per is not None else "-"))
        wanted = {"%06d" % n for n in range(1, self.fed + 1)}
        lost = sorted(wanted - set(self.received))
        twice = sorted(i for i, times in self.received.items() if times > 1)
        print("fed %d, sent %d, filed %d; lost %d, duplicated %d%s" % (
            self.fed, self.sent, sum(self.received.values()), len(lost), len(twice),
            " (first lost: %s)" % ", ".join(lost[:5]) if lost else ""))
        failures = []
        if broke:
            failures.append(broke)
        if status != 0:
            failures.append("the program ended with status %s on SIGTERM" % status)
        if self.fed < a.count:
            failures.append("only %d of %d messages were fed" % (self.fed, a.count))
        if lost or twice:
            failures.append("%d lost, %d duplicated" % (len(lost), len(twice)))
        failures += self.growth()
        for f in failures:
            print("FAILED: " + f)
        if not failures:
            print("passed")
        return 1 if failures else 0

    def growth(self):
        """What grew after the warm-up, in words."""
        warm = [s for s in self.samples if s[2] >= self.args.count // 10]
        if len(warm) < 3:
            return ["too few cycles after the warm-up to judge growth (%d)" % len(warm)]
        out = []
        base_rss, base_fds = warm[0][3], warm[0][4]
        top_rss = max(s[3] for s in warm)
        top_fds = max(s[4] for s in warm)
        # A sample can still catch the next cycle's connection and
        # directories open when that cycle starts at once; a leak raises
        # the fewest descriptors held, so the thirds' least counts compare.
        third = max(1, len(warm) // 3)
        held_first, held_last = min(s[4] for s in warm[:third]), min(s[4] for s in warm[-third:])
        print("after the warm-up (cycle %d): RSS %d -> at most %d kB (%+.1f%%); descriptors %d -> at most %d, "
              "the fewest held in the first and the last third %d -> %d"
              % (warm[0][0], base_rss, top_rss, 100.0 * (top_rss - base_rss) / base_rss, base_fds, top_fds,
                 held_first, held_last))
        if self.args.bound_memory and top_rss > base_rss * 1.10:
            out.append("resident memory grew by more than 10%%: %d -> %d kB" % (base_rss, top_rss))
        if held_last > held_first * 1.10:
            out.append("open descriptors grew by more than 10%%: %d -> %d" % (held_first, held_last))
        per = [s[5] for s in warm if s[5] is not None]
        third = max(1, len(per) // 3)
        first, last = statistics.median(per[:third]), statistics.median(per[-third:])
        print("time per message, median of the first and the last third: %.2f -> %.2f ms" % (first * 1e3, last * 1e3))
        if last > first * 1.5:
            out.append("time per message grew: %.2f -> %.2f ms" % (first * 1e3, last * 1e3))
        return out


def main():
    ap = argparse.ArgumentParser(usage=__doc__)
    ap.add_argument("--program", required=True)
    ap.add_argument("--host", required=True, help="the mail system's address (SMTP port 25, POP3 port 110)")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--maildir", required=True, help="the user's Maildir on the server")
    ap.add_argument("--work", required=True, help="an empty directory for the instance")
    ap.add_argument("-n", "--count", type=int, default=10000)
    ap.add_argument("--batch", type=int, default=100, help="pairs kept in OUT")
    ap.add_argument("--timeout", type=int, default=3600)
    ap.add_argument("--csv", help="write every cycle's sample to this file")
    ap.add_argument("--no-memory-bound", dest="bound_memory", action="store_false",
                    help="judge no growth of resident memory (a sanitizer's quarantine holds freed memory)")
    args = ap.parse_args()
    soak = Soak(args)
    soak.start()
    soak.feed()
    try:
        broke = soak.cycles()
    finally:
        status = soak.stop()
    return soak.report(broke, status)


if __name__ == "__main__":
    sys.exit(main())
