#!/usr/bin/python3
"""Throughput over a link with a round trip, for bench/latency_bench.sh
(which starts the servers and the delaying proxy and passes their ports).

Send: N pairs over STARTTLS + AUTH to Postfix (it offers PIPELINING) with
zvmail32, with msmtp (one process per message) and with a one-connection
lock-step smtplib client (STARTTLS, login, each command waiting for its
reply). Fetch: N messages over POP3S from dovecot with zvmail32, with mpop
and with a lock-step poplib client. Each tool runs ROUNDS times (msmtp
once: it is slow), the median counts; zvmail32 is timed from its action
label's "Sending" / "Receiving" to "Idle", the others as whole processes.
Every fetch is also run on an empty mailbox in the same round, and a fetch
counts net of that run (connecting, TLS, login and, for the peers, their
start-up and exit), so the fetch ratios compare net to net. A send's round
trips per message are its seconds per message over the round trip.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import smtp_bench as sb  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def count_files(maildir):
    return sum(len(os.listdir(os.path.join(maildir, sub))) for sub in ("cur", "new"))


def fill(maildir, count):
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "fill_maildir.py"), maildir, str(count), "24"],
                   check=True)


def timed(command, cwd=None, env=None, window=False):
    """(status, seconds, cpu) of one client process (timed_run.py)."""
    args = ["/usr/bin/python3", os.path.join(HERE, "timed_run.py")] + (["--window"] if window else [])
    args += (["--cwd", cwd] if cwd else []) + ["--"] + command
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), float(out[1]), float(out[2])


def fetch_zvmail32(args, work, maildir, count):
    inst = os.path.join(work, "zvfetch")
    shutil.rmtree(inst, ignore_errors=True)
    for d in ("in", "out"):
        os.makedirs(os.path.join(inst, d))
    os.symlink(os.path.abspath(args.program), os.path.join(inst, "zvmail32"))
    with open(os.path.join(inst, "ZVMAIL32.INI"), "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in [
            f"SMTP {args.host}:1", f"POP {args.host}:{args.pop_port}", "POP_TLS IMPLICIT",
            f"USERNAME {args.user}", f"PASSWORD {args.password}", f"TLS_CA_FILE {args.cafile}", "ROBOT robot",
            f"IN {inst}/in/", f"OUT {inst}/out/", "COUNTER 0", "LOG YES", "DELETEALL YES"]))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", ZVMAIL32_ECHO_STATUS="lbAction")
    status, seconds, _ = timed([os.path.join(inst, "zvmail32")], cwd="/", env=env, window=True)
    filed = len([n for n in os.listdir(os.path.join(inst, "in")) if n.endswith(".TXT")])
    if status != 0 or filed != count or count_files(maildir):
        raise sb.BenchFailure(f"zvmail32 fetch: status {status}, filed {filed} of {count}; its log ends: "
                              f"{sb.log_tail(os.path.join(inst, 'ZVMAIL32.LOG'))}")
    return seconds


def fetch_mpop(args, work, maildir, count):
    d = os.path.join(work, "mpop")
    shutil.rmtree(d, ignore_errors=True)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(d, "Maildir", sub))
    rc = os.path.join(d, "mpoprc")
    sb.write_private(rc, f"account bench\nhost {args.host}\nport {args.pop_port}\nuser {args.user}\n"
                         f"password {args.password}\nauth user\ntls on\ntls_starttls off\n"
                         f"tls_trust_file {args.cafile}\ndelivery maildir {d}/Maildir\nkeep off\nonly_new off\n"
                         f"received_header off\nuidls_file {d}/uidls\n")
    status, seconds, _ = timed(["mpop", f"--file={rc}", "-q", "bench"])
    if status != 0 or count_files(maildir):
        raise sb.BenchFailure(f"mpop: status {status}, {count_files(maildir)} messages left")
    return seconds


def fetch_poplib(args, work, maildir, count):
    d = os.path.join(work, "poplib")
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    status, seconds, _ = timed(["/usr/bin/python3", os.path.join(HERE, "pop3_client.py"), args.host,
                                str(args.pop_port), args.user, args.password, d, "--tls", "implicit",
                                "--cafile", args.cafile])
    if status != 0 or count_files(maildir):
        raise sb.BenchFailure(f"poplib: status {status}, {count_files(maildir)} messages left")
    return seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--program", required=True)
    ap.add_argument("--host", required=True)
    ap.add_argument("--smtp-port", type=int, required=True, help="submission with STARTTLS, through the proxy")
    ap.add_argument("--pop-port", type=int, required=True, help="POP3S, through the proxy")
    ap.add_argument("--user", required=True)
    ap.add_argument("--password", required=True)
    ap.add_argument("--cafile", required=True)
    ap.add_argument("--maildir", required=True, help="the user's Maildir on the POP3 server")
    ap.add_argument("--delay-ms", type=float, required=True, help="the proxy's delay each way (for the report)")
    ap.add_argument("-n", "--count", type=int, default=200)
    ap.add_argument("--size", type=int, default=2048)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--msmtp-count", type=int, default=50)
    args = ap.parse_args()
    n = args.count
    server = sb.Server(args.host, args.smtp_port, "starttls", args.user, args.password, args.cafile)
    work = tempfile.mkdtemp(prefix="zv-latency-bench-")
    secs = {}  # tool -> [seconds per round]
    try:
        def note(tool, fn, *a, **kw):
            r = sb.attempt(tool, fn, *a, **kw)
            if r is not None:
                secs.setdefault(tool, []).append(r)

        for _ in range(args.rounds):
            note("send zvmail32", lambda: sb.run_zvmail32(args.program, work, server, n, args.size, window=True)[0])
            note("send smtplib", lambda: sb.run_smtplib(work, server, n, args.size, rset=False)[0])
            for tool, fn in (("fetch zvmail32", fetch_zvmail32), ("fetch mpop", fetch_mpop),
                             ("fetch poplib", fetch_poplib)):
                fill(args.maildir, 0)
                empty = sb.attempt(tool + " (empty)", fn, args, work, args.maildir, 0)
                fill(args.maildir, n)
                full = sb.attempt(tool, fn, args, work, args.maildir, n)
                if empty is not None and full is not None:
                    secs.setdefault(tool, []).append(max(full - empty, 1e-6))
                    secs.setdefault(tool + " (empty)", []).append(empty)
        mn = args.msmtp_count
        if shutil.which("msmtp") and mn > 0:
            note("send msmtp", lambda: sb.run_msmtp(work, server, mn, args.size))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    rate = {t: (mn if t == "send msmtp" else n) / statistics.median(v) for t, v in secs.items()
            if not t.endswith("(empty)")}
    rtt = 2 * args.delay_ms / 1000
    print(f"\n{n} messages of about {args.size} bytes over a {2 * args.delay_ms:g} ms round trip "
          f"({args.delay_ms:g} ms each way); median of {args.rounds} (msmtp: {mn} messages, once); "
          f"fetches net of an empty-mailbox run; load average {os.getloadavg()[0]:.1f}")
    rows = [("send zvmail32", "zvmail32, STARTTLS + AUTH, pipelining offered"),
            ("send smtplib", "smtplib, one connection, lock-step"),
            ("send msmtp", "msmtp, one process per message"),
            ("fetch zvmail32", "zvmail32, POP3S"),
            ("fetch mpop", "mpop, POP3S, into a Maildir"),
            ("fetch poplib", "poplib, POP3S, lock-step, a file each")]
    for tool, what in rows:
        if tool in rate:
            rounds = ", ".join(f"{(mn if tool == 'send msmtp' else n) / s:.1f}" for s in secs[tool])
            per = f", {1 / rate[tool] / rtt:.2f} round trips/msg" if tool.startswith("send") else ""
            empty = secs.get(tool + " (empty)")
            if empty:
                per = f", empty mailbox {statistics.median(empty):.3f} s"
            print(f"{tool:<15} {rate[tool]:8.1f} msgs/s   {what} (rounds: {rounds}{per})")
        else:
            print(f"{tool:<15}   FAILED   {what} (why: above; a zvmail32 without TLS fails here)")

    def ratio(a, b, target=None):
        goal = f"  (target >= {target})" if target else ""
        if a in rate and b in rate:
            print(f"{a} / {b}: {rate[a] / rate[b]:.2f}{goal}")
        else:
            print(f"{a} / {b}: n/a, a row failed{goal}")

    ratio("send zvmail32", "send smtplib", 8)
    ratio("send zvmail32", "send msmtp")
    ratio("fetch zvmail32", "fetch mpop", 1.0)
    ratio("fetch zvmail32", "fetch poplib")


if __name__ == "__main__":
    main()
