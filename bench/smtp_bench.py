#!/usr/bin/env python3
"""Submission throughput of zvmail32's send pass against a local SMTP sink,
compared with msmtp (one process per message) and with a single-connection
smtplib client (RSET between messages). Every client sends the same N work
pairs of about 2 KB. Called by smtp_bench.sh, which runs the sink."""

import argparse
import os
import shutil
import smtplib
import subprocess
import sys
import tempfile
import time

SENDER = "zorvik@bench.example"
RECIPIENT = "robot@sink.example"


def message_text(i, size):
    head = (f"From: <{SENDER}>\r\nTo: <{RECIPIENT}>\r\nSubject: TRANSPORT {i}\r\n"
            f"Message-ID: <{i}.bench@zorvik.example>\r\n\r\n")
    body = []
    n = 0
    while len(head) + sum(len(line) + 2 for line in body) < size:
        body.append(f"{n:05d} " + "abcdefghijklmnopqrstuvwxyz0123456789" * 2)
        n += 1
    return head + "\r\n".join(body) + "\r\n"


def make_pairs(directory, count, size):
    os.makedirs(directory, exist_ok=True)
    for i in range(1, count + 1):
        base = os.path.join(directory, f"TM{i:06d}")
        with open(base + ".WRK", "wb") as f:
            f.write(f"zvmailer_windows\r\n{SENDER}\r\n{RECIPIENT}\r\n".encode())
        with open(base + ".TXT", "wb") as f:
            f.write(message_text(i, size).encode())


def read_pair(directory, name):
    base = os.path.join(directory, name)
    with open(base + ".WRK", "rb") as f:
        lines = f.read().decode().splitlines()
    with open(base + ".TXT", "rb") as f:
        text = f.read()
    return base, lines[1], lines[2], text


def pair_names(directory):
    return sorted(n[:-4] for n in os.listdir(directory) if n.upper().endswith(".WRK"))


def run_zvmail32(program, work, host, port, count, size):
    """Sends `count` pairs with the built program. Returns (send seconds,
    process seconds, runs, CPU seconds). One run takes at most 499 pairs, so
    further runs send the rest, as the next runs of an installation would.
    A run's send time is its wall time less that of a run with nothing to
    send (start-up, the 1 s auto-run delay, the receive pass, exit)."""
    inst = os.path.join(work, "zvmail32")
    out, inn = os.path.join(inst, "out"), os.path.join(inst, "in")
    os.makedirs(out)
    os.makedirs(inn)
    os.symlink(os.path.abspath(program), os.path.join(inst, "zvmail32"))
    with open(os.path.join(inst, "ZVMAIL32.INI"), "w", newline="") as f:
        # POP points at a closed port on the same address: the receive pass
        # ends at once.
        f.write(f"SMTP {host}:{port}\r\nPOP {host}:1\r\nUSERNAME u\r\nPASSWORD p\r\n"
                f"ROBOT robot\r\nIN {inn}\r\nOUT {out}\r\nLOG YES\r\n")
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("ZVMAIL32_ECHO_STATUS", None)

    def one_run():
        start = time.perf_counter()
        proc = subprocess.Popen([os.path.join(inst, "zvmail32")], cwd=inst, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit(f"zvmail32 failed, see {inst}/ZVMAIL32.LOG")
        return time.perf_counter() - start, usage.ru_utime + usage.ru_stime

    idle = min(one_run()[0] for _ in range(2))
    make_pairs(out, count, size)
    sending = total = cpu = 0.0
    runs = 0
    while pair_names(out):
        before = len(pair_names(out))
        wall, used = one_run()
        if len(pair_names(out)) >= before:
            sys.exit(f"zvmail32 made no progress, see {inst}/ZVMAIL32.LOG")
        runs += 1
        total += wall
        cpu += used
        sending += max(wall - idle, 1e-6)
    shutil.rmtree(inst)
    return sending, total, runs, cpu


def run_smtplib(work, host, port, count, size):
    directory = os.path.join(work, "smtplib")
    make_pairs(directory, count, size)
    cpu0 = time.process_time()
    start = time.perf_counter()
    s = smtplib.SMTP(host, port)
    s.ehlo_or_helo_if_needed()
    for i, name in enumerate(pair_names(directory)):
        if i:
            s.rset()
        base, sender, recipient, text = read_pair(directory, name)
        s.sendmail(sender, [recipient], text)
        os.remove(base + ".WRK")
        os.remove(base + ".TXT")
    s.quit()
    elapsed = time.perf_counter() - start
    shutil.rmtree(directory)
    return elapsed, time.process_time() - cpu0


def run_floor(floor, work, host, port, count, size):
    """The bare client (smtp_floor): same pairs, same dialogue, nothing else."""
    directory = os.path.join(work, "floor")
    make_pairs(directory, count, size)
    out = subprocess.run([floor, directory, host, str(port)], check=True, capture_output=True, text=True).stdout
    sent, seconds = out.split()
    if int(sent) != count or pair_names(directory):
        sys.exit("smtp_floor did not send every pair")
    shutil.rmtree(directory)
    return float(seconds)


def run_msmtp(work, host, port, count, size):
    directory = os.path.join(work, "msmtp")
    make_pairs(directory, count, size)
    start = time.perf_counter()
    for name in pair_names(directory):
        base, sender, recipient, _ = read_pair(directory, name)
        with open(base + ".TXT", "rb") as text:
            subprocess.run(["msmtp", f"--host={host}", f"--port={port}", "--auth=off", "--tls=off",
                            f"--from={sender}", "--", recipient], stdin=text, check=True)
        os.remove(base + ".WRK")
        os.remove(base + ".TXT")
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--host", default="127.0.0.22")
    ap.add_argument("--port", type=int, default=2525)
    ap.add_argument("-n", "--count", type=int, default=1000)
    ap.add_argument("--size", type=int, default=2048)
    ap.add_argument("--rounds", type=int, default=3,
                    help="alternating rounds of zvmail32 and smtplib; the best of each counts")
    ap.add_argument("--floor", default=None,
                    help="the bare client (bench/smtp_floor), run in every round when given")
    ap.add_argument("--msmtp-count", type=int, default=None,
                    help="messages for msmtp (default: the same N)")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="zv-smtp-bench-")
    try:
        n = args.count
        zv, lib, floor = [], [], []
        for _ in range(args.rounds):
            zv.append(run_zvmail32(args.program, work, args.host, args.port, n, args.size))
            lib.append(run_smtplib(work, args.host, args.port, n, args.size))
            if args.floor:
                floor.append(run_floor(args.floor, work, args.host, args.port, n, args.size))
        mn = args.msmtp_count or n
        ms = run_msmtp(work, args.host, args.port, mn, args.size) if shutil.which("msmtp") else None
        zv_best = min(zv, key=lambda r: r[0])
        lib_best = min(lib, key=lambda r: r[0])
        zv_rate, lib_rate = n / zv_best[0], n / lib_best[0]
        print(f"messages: {n} of about {args.size} bytes to {args.host}:{args.port}; "
              f"best of {args.rounds} rounds; load average {os.getloadavg()[0]:.1f}")
        print(f"zvmail32 send pass : {zv_rate:8.0f} msgs/s  ({zv_best[0]:.3f} s in {zv_best[2]} runs of at most "
              f"499 pairs, less the wall time of an idle run;")
        print(f"                     whole processes {zv_best[1]:.3f} s; CPU {zv_best[3] / n * 1e6:.0f} us/msg "
              f"incl. start-ups)")
        print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in zv))
        print(f"smtplib one conn.  : {lib_rate:8.0f} msgs/s  ({lib_best[0]:.3f} s; CPU {lib_best[1] / n * 1e6:.0f} us/msg)")
        print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in lib))
        if floor:
            print(f"bare client        : {n / min(floor):8.0f} msgs/s  ({min(floor):.3f} s; the same dialogue "
                  f"and files, nothing else)")
            print(f"                     all rounds: " + ", ".join(f"{n / r:.0f}" for r in floor))
        if ms is not None:
            print(f"msmtp per message  : {mn / ms:8.1f} msgs/s  ({ms:.3f} s for {mn})")
        print(f"ratio zvmail32 / smtplib : {zv_rate / lib_rate:.2f}")
        if floor:
            print(f"ratio bare / smtplib     : {n / min(floor) / lib_rate:.2f}   "
                  f"(zvmail32 / bare: {zv_rate / (n / min(floor)):.2f})")
        if ms is not None:
            print(f"ratio zvmail32 / msmtp   : {zv_rate / (mn / ms):.1f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
