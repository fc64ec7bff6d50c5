#!/bin/bash
# Throughput over a link with a round trip of 20 ms (10 ms each way, by
# bench/delay_proxy.py): sends N pairs of about 2 KB (default 200) over
# STARTTLS + AUTH to a private Postfix (PIPELINING offered) with zvmail32,
# with msmtp (one process per message) and with a one-connection lock-step
# smtplib client, and fetches N messages from dovecot over POP3S with
# zvmail32, with mpop and with a lock-step poplib client, each fetch net of
# a fetch from an empty mailbox in the same round. Prints messages per
# second per tool, the sends' round trips per message and zvmail32's ratios
# (targets: send >= 8 x the lock-step smtplib at <= 0.5 round trips per
# message, fetch >= 1.0 x mpop).
#
#   bench/latency_bench.sh [N]
#
# Environment: ZVMAIL32 (default build/zvmail32 of this checkout), REPEAT
# (rounds, default 3; the median counts), MSMTP_N (messages for msmtp,
# default 50), DELAY_MS (each way, default 10). The servers run on
# 127.0.0.33 (scripts/mailsystem: dovecot with POP3S, Postfix with
# submission), the proxy on ports 10587 and 10995 of it; needs root, and
# mpop and msmtp (scripts/install-deps.sh --bench).
set -euo pipefail

n=${1:-200}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
program=${ZVMAIL32:-$repo/build/zvmail32}
address=127.0.0.33
delay=${DELAY_MS:-10}
user=bench
password=benchpw

[ -x "$program" ] || { echo "no program at $program (set ZVMAIL32)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root (the mail servers)" >&2; exit 1; }
for tool in mpop msmtp dovecot postfix openssl; do
  command -v $tool >/dev/null || [ -x /usr/sbin/$tool ] || { echo "$tool is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zvmail32-latency-bench.XXXXXX")
chmod 755 "$work"
proxy_pid=""
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null && wait "$proxy_pid" 2>/dev/null
  "$repo/scripts/mailsystem/postfix.sh" stop "$work/postfix" >/dev/null 2>&1 || true
  "$repo/scripts/mailsystem/stop.sh" "$work/mail" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$repo/scripts/mailsystem/certs.sh" "$work/certs" "$address"
"$repo/scripts/mailsystem/start.sh" --tls "$work/certs" --smtp-port 2525 "$address" "$work/mail" "$user:$password"
"$repo/scripts/mailsystem/postfix.sh" start --tls "$work/certs" --sasl "$work/mail/sasl/auth" "$address" "$work/postfix"

# The proxy says "ready" once it listens.
exec 3< <(exec /usr/bin/python3 "$here/delay_proxy.py" --delay-ms "$delay" \
  "$address:10587=$address:587" "$address:10995=$address:995")
proxy_pid=$!
read -r -t 10 ready <&3 && [ "$ready" = ready ] || { echo "delay_proxy.py did not start" >&2; exit 1; }

/usr/bin/python3 "$here/latency_bench.py" --program "$program" --host "$address" --smtp-port 10587 \
  --pop-port 10995 --user "$user" --password "$password" --cafile "$work/certs/ca.pem" \
  --maildir "$work/mail/mail/$user/Maildir" --delay-ms "$delay" -n "$n" --rounds "${REPEAT:-3}" \
  --msmtp-count "${MSMTP_N:-50}"
