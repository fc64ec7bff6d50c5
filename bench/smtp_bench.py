#!/usr/bin/env python3
"""Submission throughput of zvmail32's send pass against a local SMTP server,
compared with msmtp (one process per message) and with a single-connection
smtplib client (RSET between messages). Every client sends the same N work
pairs of about 2 KB. Called by smtp_bench.sh, which runs the servers.

Without --tls: all clients talk plain SMTP to --host:--port (smtp-sink).
With --tls starttls|implicit, --user, --password and --cafile: zvmail32,
smtplib and msmtp submit over TLS with AUTH to --host:--port, and zvmail32
also plain to --plain-port of the same server, for the TLS / plain ratio.
The functions serve bench/latency_bench.py too."""

import argparse
import os
import shutil
import smtplib
import ssl
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Optional

SENDER = "zorvik@bench.example"
RECIPIENT = "robot@sink.example"


class BenchFailure(Exception):
    """A client could not do its part; its row is left out."""


@dataclass
class Server:
    """Where and how the clients submit."""
    host: str
    port: int
    tls: Optional[str] = None  # None, "starttls" or "implicit"
    user: Optional[str] = None
    password: Optional[str] = None
    cafile: Optional[str] = None
    pop: Optional[str] = None  # POP of zvmail32's INI (its receive pass, as user); default a closed port

    def describe(self):
        what = "plain" if not self.tls else "%s + AUTH" % ("STARTTLS" if self.tls == "starttls" else "TLS")
        return "%s:%d (%s)" % (self.host, self.port, what)


def write_private(path, text):
    """Creates `path` (it must not exist) readable by its owner only: it
    holds a password."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)


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


def zvmail32_ini(server, inn, out):
    """The INI of a send instance for `server`."""
    # Without a POP of the server's own, POP points at a closed port on the
    # same address: the receive pass ends at once.
    pop = server.pop or f"{server.host}:1"
    lines = [f"SMTP {server.host}:{server.port}", f"POP {pop}", f"USERNAME {server.user or 'u'}",
             f"PASSWORD {server.password or 'p'}", "ROBOT robot",
             f"IN {inn}", f"OUT {out}", "LOG YES"]
    if server.tls:
        lines += [f"SMTP_TLS {'STARTTLS' if server.tls == 'starttls' else 'IMPLICIT'}",
                  f"SMTP_USERNAME {server.user}", f"SMTP_PASSWORD {server.password}",
                  f"TLS_CA_FILE {server.cafile}"]
    return "".join(line + "\r\n" for line in lines)


def log_tail(path, lines=3):
    try:
        with open(path, "rb") as f:
            return " | ".join(f.read().decode("latin-1").splitlines()[-lines:])
    except OSError:
        return "(no log)"


def run_zvmail32(program, work, server, count, size, window=False):
    """Sends `count` pairs with the built program. Returns (send seconds,
    process seconds, runs, CPU seconds). One run takes at most 499 pairs, so
    further runs send the rest, as the next runs of an installation would.
    A run's send time is its wall time less that of a run with nothing to
    send (start-up, the 1 s auto-run delay, the receive pass, exit), or with
    `window` (as the benchmark scripts use it) the time from the action label's "Sending" to its "Idle"."""
    inst = os.path.join(work, "zvmail32")
    shutil.rmtree(inst, ignore_errors=True)
    out, inn = os.path.join(inst, "out"), os.path.join(inst, "in")
    os.makedirs(out)
    os.makedirs(inn)
    os.symlink(os.path.abspath(program), os.path.join(inst, "zvmail32"))
    with open(os.path.join(inst, "ZVMAIL32.INI"), "w", newline="") as f:
        f.write(zvmail32_ini(server, inn, out))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("ZVMAIL32_ECHO_STATUS", None)
    if window:
        env["ZVMAIL32_ECHO_STATUS"] = "lbAction"

    def one_run():
        start = time.perf_counter()
        proc = subprocess.Popen([os.path.join(inst, "zvmail32")], cwd=inst, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE if window else subprocess.DEVNULL)
        begin = end = None
        if window:
            for raw in proc.stderr:
                if begin is None and raw.startswith(b"lbAction: Sending"):
                    begin = time.perf_counter()
                elif begin is not None and end is None and raw.startswith(b"lbAction: Idle"):
                    end = time.perf_counter()
            proc.stderr.close()
        _, status, usage = os.wait4(proc.pid, 0)
        # 75: a pass failed and is worth retrying; the receive pass against
        # a closed port does. Progress is judged by the pairs left.
        code = os.waitstatus_to_exitcode(status)
        if code not in (0, 75):
            raise BenchFailure(f"zvmail32 ended with status {code}; its log ends: "
                               f"{log_tail(os.path.join(inst, 'ZVMAIL32.LOG'))}")
        wall = time.perf_counter() - start
        sent = (end - begin) if begin is not None and end is not None else None
        return wall, usage.ru_utime + usage.ru_stime, sent

    idle = 0.0 if window else min(one_run()[0] for _ in range(2))
    make_pairs(out, count, size)
    sending = total = cpu = 0.0
    runs = 0
    while pair_names(out):
        before = len(pair_names(out))
        wall, used, sent = one_run()
        if len(pair_names(out)) >= before:
            raise BenchFailure(f"zvmail32 sent nothing to {server.describe()}; its log ends: "
                               f"{log_tail(os.path.join(inst, 'ZVMAIL32.LOG'))}")
        runs += 1
        total += wall
        cpu += used
        sending += (sent if sent is not None else wall) if window else max(wall - idle, 1e-6)
    shutil.rmtree(inst)
    return sending, total, runs, cpu


def smtp_connect(server):
    """A logged-in smtplib connection to `server`."""
    if server.tls == "implicit":
        s = smtplib.SMTP_SSL(server.host, server.port, context=ssl.create_default_context(cafile=server.cafile))
    else:
        s = smtplib.SMTP(server.host, server.port)
        if server.tls == "starttls":
            s.starttls(context=ssl.create_default_context(cafile=server.cafile))
    s.ehlo_or_helo_if_needed()
    if server.tls:
        s.login(server.user, server.password)
    return s


def run_smtplib(work, server, count, size, rset=True):
    """One connection, every command waiting for its reply; RSET between
    messages unless `rset` is false. Returns (seconds, CPU seconds)."""
    directory = os.path.join(work, "smtplib")
    make_pairs(directory, count, size)
    cpu0 = time.process_time()
    start = time.perf_counter()
    try:
        s = smtp_connect(server)
        for i, name in enumerate(pair_names(directory)):
            if i and rset:
                s.rset()
            base, sender, recipient, text = read_pair(directory, name)
            s.sendmail(sender, [recipient], text)
            os.remove(base + ".WRK")
            os.remove(base + ".TXT")
        s.quit()
    except (OSError, smtplib.SMTPException) as exc:
        raise BenchFailure(f"smtplib failed against {server.describe()}: {exc}") from exc
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


def msmtp_command(work, server, sender, recipient):
    """The msmtp command line for one message to `server`."""
    cmd = ["msmtp", f"--host={server.host}", f"--port={server.port}", f"--from={sender}"]
    if server.tls:
        # The password goes in a configuration file of the user only.
        conf = os.path.join(work, f"msmtprc-{server.host}-{server.port}")
        if not os.path.exists(conf):
            write_private(conf, f"account bench\nhost {server.host}\nport {server.port}\nauth on\n"
                                f"user {server.user}\npassword {server.password}\ntls on\n"
                                f"tls_starttls {'on' if server.tls == 'starttls' else 'off'}\n"
                                f"tls_trust_file {server.cafile}\n")
        cmd = ["msmtp", f"--file={conf}", "--account=bench", f"--from={sender}"]
    else:
        cmd += ["--auth=off", "--tls=off"]
    return cmd + ["--", recipient]


def run_msmtp(work, server, count, size):
    directory = os.path.join(work, "msmtp")
    make_pairs(directory, count, size)
    start = time.perf_counter()
    for name in pair_names(directory):
        base, sender, recipient, _ = read_pair(directory, name)
        with open(base + ".TXT", "rb") as text:
            r = subprocess.run(msmtp_command(work, server, sender, recipient), stdin=text, capture_output=True)
        if r.returncode != 0:
            raise BenchFailure(f"msmtp failed against {server.describe()}: {r.stderr.decode(errors='replace')}")
        os.remove(base + ".WRK")
        os.remove(base + ".TXT")
    elapsed = time.perf_counter() - start
    shutil.rmtree(directory)
    return elapsed


def attempt(what, fn, *args, **kwargs):
    """fn(*args) or None, saying why on failure."""
    try:
        return fn(*args, **kwargs)
    except BenchFailure as exc:
        print(f"{what}: FAILED, row left out: {exc}", flush=True)
        return None


def median_run(results):
    """The run of median seconds among `results` (tuples led by seconds)."""
    return sorted(results, key=lambda r: r[0])[len(results) // 2]


def bench_sink(args, work):
    """The plain comparison against smtp-sink: zvmail32, smtplib and the bare
    client take turns in every round; the medians count."""
    n = args.count
    server = Server(args.host, args.port)
    zv, lib, floor = [], [], []
    for _ in range(args.rounds):
        r = attempt("zvmail32", run_zvmail32, args.program, work, server, n, args.size, True)
        if r:
            zv.append(r)
        lib.append(run_smtplib(work, server, n, args.size))
        if args.floor:
            floor.append((run_floor(args.floor, work, args.host, args.port, n, args.size),))
    mn = args.msmtp_count or n
    ms = run_msmtp(work, server, mn, args.size) if shutil.which("msmtp") else None
    lib_med = median_run(lib)
    lib_rate = n / lib_med[0]
    print(f"messages: {n} of about {args.size} bytes to {args.host}:{args.port}; "
          f"median of {args.rounds} rounds; load average {os.getloadavg()[0]:.1f}")
    if zv:
        zv_med = median_run(zv)
        zv_rate = n / zv_med[0]
        print(f"zvmail32 send pass : {zv_rate:8.0f} msgs/s  ({zv_med[0]:.3f} s in {zv_med[2]} runs of at most "
              f"499 pairs, from 'Sending' to 'Idle' of each;")
        print(f"                     whole processes {zv_med[1]:.3f} s; CPU {zv_med[3] / n * 1e6:.0f} us/msg "
              f"incl. start-ups)")
        print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in zv))
    print(f"smtplib one conn.  : {lib_rate:8.0f} msgs/s  ({lib_med[0]:.3f} s; CPU {lib_med[1] / n * 1e6:.0f} us/msg)")
    print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in lib))
    if floor:
        floor_rate = n / median_run(floor)[0]
        print(f"bare client        : {floor_rate:8.0f} msgs/s  ({median_run(floor)[0]:.3f} s; the same dialogue "
              f"and files, nothing else)")
        print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in floor))
    if ms is not None:
        print(f"msmtp per message  : {mn / ms:8.1f} msgs/s  ({ms:.3f} s for {mn})")
    if zv:
        print(f"ratio zvmail32 / smtplib : {zv_rate / lib_rate:.2f}   (target >= 1.0)")
        if floor:
            print(f"ratio bare / smtplib     : {floor_rate / lib_rate:.2f}   "
                  f"(zvmail32 / bare: {zv_rate / floor_rate:.2f}, target >= 0.85)")
        if ms is not None:
            print(f"ratio zvmail32 / msmtp   : {zv_rate / (mn / ms):.1f}")


def bench_tls(args, work):
    """zvmail32 over TLS with AUTH against zvmail32 plain to the same server,
    smtplib and msmtp over TLS beside them."""
    n = args.count
    tls = Server(args.host, args.port, args.tls, args.user, args.password, args.cafile, args.pop)
    plain = Server(args.host, args.plain_port, None, args.user, args.password, pop=args.pop)
    zv_tls, zv_plain, lib = [], [], []
    for _ in range(args.rounds):
        for server, results in ((tls, zv_tls), (plain, zv_plain)):
            r = attempt(f"zvmail32 {server.describe()}", run_zvmail32, args.program, work, server, n, args.size, True)
            if r:
                results.append(r)
        r = attempt("smtplib", run_smtplib, work, tls, n, args.size)
        if r:
            lib.append(r)
    mn = args.msmtp_count or n
    ms = attempt("msmtp", run_msmtp, work, tls, mn, args.size) if shutil.which("msmtp") else None
    print(f"messages: {n} of about {args.size} bytes to a private Postfix at {args.host}; "
          f"best of {args.rounds} rounds; load average {os.getloadavg()[0]:.1f}")
    rates = {}
    for label, results, server in (("zvmail32 TLS", zv_tls, tls), ("zvmail32 plain", zv_plain, plain)):
        if results:
            best = min(results, key=lambda r: r[0])
            rates[label] = n / best[0]
            print(f"{label:<19}: {rates[label]:8.0f} msgs/s  ({best[0]:.3f} s, from 'Sending' to 'Idle'; "
                  f"CPU {best[3] / n * 1e6:.0f} us/msg incl. start-ups; {server.describe()})")
            print(f"                     all rounds: " + ", ".join(f"{n / r[0]:.0f}" for r in results))
        else:
            print(f"{label:<19}:   FAILED")
    if lib:
        best = min(lib, key=lambda r: r[0])
        rates["smtplib"] = n / best[0]
        print(f"smtplib one conn.  : {rates['smtplib']:8.0f} msgs/s  ({best[0]:.3f} s; CPU "
              f"{best[1] / n * 1e6:.0f} us/msg; {tls.describe()})")
    if ms is not None:
        rates["msmtp"] = mn / ms
        print(f"msmtp per message  : {rates['msmtp']:8.1f} msgs/s  ({ms:.3f} s for {mn}; {tls.describe()})")
    if "zvmail32 TLS" in rates and "zvmail32 plain" in rates:
        print(f"ratio zvmail32 TLS / plain : {rates['zvmail32 TLS'] / rates['zvmail32 plain']:.2f}  (target >= 0.8)")
    else:
        print("ratio zvmail32 TLS / plain : n/a (a zvmail32 row failed; does this build speak TLS?)")
    for other in ("smtplib", "msmtp"):
        if "zvmail32 TLS" in rates and other in rates:
            print(f"ratio zvmail32 TLS / {other:<7}: {rates['zvmail32 TLS'] / rates[other]:.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--host", default="127.0.0.22")
    ap.add_argument("--port", type=int, default=2525)
    ap.add_argument("-n", "--count", type=int, default=1000)
    ap.add_argument("--size", type=int, default=2048)
    ap.add_argument("--rounds", type=int, default=5,
                    help="alternating rounds of zvmail32 and smtplib; the median of each counts")
    ap.add_argument("--floor", default=None,
                    help="the bare client (bench/smtp_floor), run in every round when given")
    ap.add_argument("--msmtp-count", type=int, default=None,
                    help="messages for msmtp (default: the same N)")
    ap.add_argument("--tls", choices=["starttls", "implicit"], default=None,
                    help="submit over TLS with AUTH (needs --user, --password, --cafile, --plain-port)")
    ap.add_argument("--user")
    ap.add_argument("--password")
    ap.add_argument("--cafile")
    ap.add_argument("--plain-port", type=int, default=25, help="the same server's plain port")
    ap.add_argument("--pop", default=None, help="POP of zvmail32's instance (default: a closed port)")
    args = ap.parse_args()
    if args.tls and not (args.user and args.password and args.cafile):
        ap.error("--tls needs --user, --password and --cafile")
    work = tempfile.mkdtemp(prefix="zv-smtp-bench-")
    try:
        (bench_tls if args.tls else bench_sink)(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
