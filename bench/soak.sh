#!/bin/bash
# The daemon's soak: zvmail32 with DAEMON 1 against the local mail system
# (scripts/mailsystem: aiosmtpd delivering into a Maildir, dovecot serving it
# by POP3 with PIPELINING) carries N messages each way (default 10000) while
# bench/soak.py keeps OUT filled and empties IN. Every cycle it samples the
# program's resident memory, open descriptors and time per message; it ends
# with a table and fails on a lost or duplicated message, or on growth after
# the warm-up (bench/soak.py says how it judges).
#
#   bench/soak.sh [--short] [--sanitized] [N]
#
# --short: 500 messages, 25 pairs in OUT per cycle, at most 10 minutes; the
# form the tests run (ctest label soak), which reports itself skipped (77)
# where the mail system cannot run. --sanitized: the program is built with
# AddressSanitizer, whose quarantine holds freed memory, so resident memory
# is not judged. Environment: ZVMAIL32 (the program; default build/zvmail32 of
# this checkout), SOAK_ADDRESS (127.0.0.83), SOAK_BATCH (pairs kept in OUT;
# default 100), SOAK_CSV (a file for every cycle's sample). Needs root,
# dovecot-pop3d and python3-aiosmtpd.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
program=${ZVMAIL32:-$repo/build/zvmail32}
address=${SOAK_ADDRESS:-127.0.0.83}
n=10000 batch=${SOAK_BATCH:-100} timeout=3600 extra=()
[ -n "${SOAK_CSV:-}" ] && extra+=(--csv "$SOAK_CSV")
while [ $# -gt 0 ]; do
  case $1 in
    --short) n=500 batch=25 timeout=600; shift ;;
    --sanitized) extra+=(--no-memory-bound); shift ;;
    --program) program=$2; shift 2 ;;
    *) n=$1; shift ;;
  esac
done

skip() {
  echo "SKIP: $*"
  exit 77
}
[ -x "$program" ] || { echo "no program at $program (set ZVMAIL32)" >&2; exit 1; }
[ "$(id -u)" = 0 ] || skip "the soak needs root (the mail system binds ports 25 and 110)"
command -v dovecot >/dev/null || skip "dovecot is not installed (apt-get install dovecot-pop3d)"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || skip "aiosmtpd is not installed (apt-get install python3-aiosmtpd)"

# Below /tmp by default: dovecot's mail processes must search every directory
# above the Maildir.
work=$(mktemp -d "${TMPDIR:-/tmp}/zvmail32-soak.XXXXXX")
chmod 755 "$work"
cleanup() {
  "$repo/scripts/mailsystem/stop.sh" "$work/mail" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$repo/scripts/mailsystem/start.sh" "$address" "$work/mail" soak:soakpw
mkdir "$work/run"
/usr/bin/python3 "$here/soak.py" --program "$program" --host "$address" --user soak --password soakpw \
  --maildir "$work/mail/mail/soak/Maildir" --work "$work/run" -n "$n" --batch "$batch" --timeout "$timeout" \
  "${extra[@]}"
