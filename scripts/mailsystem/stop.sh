#!/bin/bash
# Stops the mail system that start.sh started in STATE-DIR: SIGTERM to each
# server, then waits (bounded) until it has ended and its ports are free.
# Stopping a system that is not running, or a missing STATE-DIR, is no error.
#
#   stop.sh STATE-DIR
set -u

here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 STATE-DIR" >&2; exit 2; }
[ -d "$1" ] || exit 0
state=$(cd "$1" && pwd)

# The process of a pid file, if it is still the one we started (its command
# line names a file in STATE-DIR); pids are reused.
ours() {
  local pidfile=$1 pid
  [ -s "$pidfile" ] || return 1
  pid=$(cat "$pidfile")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "$state/" || return 1
  echo "$pid"
}

# Waits until process $1 is gone, at most $2 tenths of a second.
wait_gone() {
  local n=0
  while [ -e "/proc/$1" ] && [ "$n" -lt "$2" ]; do
    # A zombie is gone for our purpose: it holds no ports or files.
    [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ] && return 0
    sleep 0.1
    n=$((n + 1))
  done
  [ ! -e "/proc/$1" ]
}

rc=0
for name in smtpd dovecot; do
  pidfile=$state/$name.pid
  if pid=$(ours "$pidfile"); then
    kill -TERM "$pid" 2>/dev/null
    if ! wait_gone "$pid" 100; then
      echo "mail system: $name ($pid) did not end on SIGTERM; killing it" >&2
      kill -KILL "$pid" 2>/dev/null
      wait_gone "$pid" 50 || { echo "mail system: $name ($pid) does not end" >&2; rc=1; }
    fi
  fi
  rm -f "$pidfile"
done

# dovecot's children hold the listening sockets a moment longer than the
# master; the next start on this address needs the ports free.
address=$(sed -n 's/^listen = //p' "$state/dovecot.conf" 2>/dev/null)
ports=$(cat "$state/ports" 2>/dev/null || true)
if [ -n "$address" ]; then
  # shellcheck disable=SC2086
  /usr/bin/python3 "$here/probe.py" $ports down "$address" 10 || rc=1
fi
exit $rc
