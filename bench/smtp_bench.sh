#!/bin/sh
# Submission throughput: zvmail32's send pass, msmtp (one process per
# message) and a single-connection smtplib client, all sending the same N
# pairs of about 2 KB to postfix's smtp-sink on a loopback address. Then,
# as root, the same against a private Postfix (scripts/mailsystem/postfix.sh
# on POSTFIX_HOST) over STARTTLS with AUTH on port 587, and zvmail32 plain
# to its port 25, for zvmail32's TLS / plain ratio.
#
# Usage: bench/smtp_bench.sh [N]
# Environment: ZVMAIL32 (the built program; default: the newest of
# build*/zvmail32), SINK_HOST (127.0.0.22), SINK_PORT (2525), MSG_SIZE (2048),
# MSMTP_N (messages for msmtp; default N), FLOOR (the bare client of the same
# dialogue; default: bench/smtp_floor of the program's build, when built with
# -DZV_BENCH=ON), POSTFIX_HOST (127.0.0.34; "none" leaves the Postfix run out),
# TLS_N (messages of the Postfix run; default N), BENCH_CPU (a CPU number: the
# sink and every client run on that one CPU; on a virtual machine a wake-up
# across CPUs can cost more than a whole command, and where the scheduler puts
# a client then decides its figure).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
n=${1:-1000}
host=${SINK_HOST:-127.0.0.22}
port=${SINK_PORT:-2525}

program=${ZVMAIL32:-$(ls -t "$root"/build*/zvmail32 2>/dev/null | head -n 1)}
[ -x "$program" ] || { echo "zvmail32 not built (set ZVMAIL32)" >&2; exit 1; }

sink=$(command -v smtp-sink || true)
for p in /usr/lib/postfix/sbin/smtp-sink /usr/sbin/smtp-sink; do
  [ -n "$sink" ] || { [ -x "$p" ] && sink=$p; }
done
[ -n "$sink" ] || { echo "smtp-sink not found (Debian package postfix)" >&2; exit 1; }

user_opt=""
[ "$(id -u)" = 0 ] && user_opt="-u nobody"
pin=""
[ -n "${BENCH_CPU:-}" ] && pin="taskset -c $BENCH_CPU"
# shellcheck disable=SC2086
$pin "$sink" $user_opt "$host:$port" 256 &
sink_pid=$!
work=""
cleanup() {
  kill "$sink_pid" 2>/dev/null || true
  if [ -n "$work" ]; then
    "$root/scripts/mailsystem/postfix.sh" stop "$work/postfix" >/dev/null 2>&1 || true
    "$root/scripts/mailsystem/stop.sh" "$work/mail" >/dev/null 2>&1 || true
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wait (bounded) until the sink answers.
i=0
until python3 -c "import socket,sys; socket.create_connection(('$host',$port),1).close()" 2>/dev/null; do
  i=$((i + 1))
  [ "$i" -lt 100 ] || { echo "smtp-sink did not start on $host:$port" >&2; exit 1; }
  sleep 0.05
done

set -- --program "$program" --host "$host" --port "$port" -n "$n" --size "${MSG_SIZE:-2048}"
[ -n "${MSMTP_N:-}" ] && set -- "$@" --msmtp-count "$MSMTP_N"
floor=${FLOOR:-$(dirname "$(readlink -f "$program")")/bench/smtp_floor}
[ -x "$floor" ] && set -- "$@" --floor "$floor"
# shellcheck disable=SC2086
$pin python3 "$here/smtp_bench.py" "$@"
kill "$sink_pid" 2>/dev/null || true

pf_host=${POSTFIX_HOST:-127.0.0.34}
[ "$pf_host" != none ] || exit 0
if [ "$(id -u)" != 0 ]; then
  echo "(the run against a private Postfix with STARTTLS and AUTH needs root; left out)"
  exit 0
fi
echo
echo "== STARTTLS + AUTH against a private Postfix on $pf_host"
# Below /tmp by default: the servers' users must search every directory above.
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-smtp-tls-bench.XXXXXX")
chmod 755 "$work"
"$root/scripts/mailsystem/certs.sh" "$work/certs" "$pf_host"
# dovecot checks the SASL passwords for Postfix; its own SMTP moves aside.
"$root/scripts/mailsystem/start.sh" --smtp-port 2525 "$pf_host" "$work/mail" bench:benchpw
"$root/scripts/mailsystem/postfix.sh" start --tls "$work/certs" --sasl "$work/mail/sasl/auth" "$pf_host" "$work/postfix"
set -- --program "$program" --host "$pf_host" --port 587 --tls starttls --user bench --password benchpw \
  --cafile "$work/certs/ca.pem" --plain-port 25 --pop "$pf_host" -n "${TLS_N:-$n}" --size "${MSG_SIZE:-2048}"
[ -n "${MSMTP_N:-}" ] && set -- "$@" --msmtp-count "$MSMTP_N"
python3 "$here/smtp_bench.py" "$@"
