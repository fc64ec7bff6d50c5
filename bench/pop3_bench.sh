#!/bin/bash
# Receive throughput: fetches the same mailbox of N messages of about 2 KB
# (default 1000), and then one message of 10 MB, from one local dovecot with
# zvmail32, with mpop (delivering into a Maildir) and with fetchmail (into
# one BSMTP file), refilling the mailbox before every run. Prints messages
# per second, MB per second and the ratios of zvmail32 to the others.
#
#   bench/pop3_bench.sh [N]
#
# Each client fetches each mailbox REPEAT times (default 3), the clients
# taking turns; the best time of each counts, as the machine may be shared.
# ZVMAIL32 names the program (default: build/zvmail32 of this checkout).
# The mail system runs on 127.0.0.32 (scripts/mailsystem); needs root.
# zvmail32 is timed from the action label's change to "Receiving" to its
# change to "Idle" (ZVMAIL32_ECHO_STATUS=lbAction: only that label is echoed,
# so the timing adds no work per message), which covers connecting, every RETR, the
# files, flushing them to stable storage, DELE and QUIT, but not the start-up
# of the program and its one-second auto-run delay; the other two are timed
# as whole processes.
set -euo pipefail

n=${1:-1000}
repeat=${REPEAT:-3}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
program=${ZVMAIL32:-$repo/build/zvmail32}
address=127.0.0.32
user=bench
password=benchpw

[ -x "$program" ] || { echo "no program at $program (set ZVMAIL32)" >&2; exit 1; }
for tool in mpop fetchmail dovecot; do
  command -v $tool >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done

# The clients write their files below TMPDIR (default /tmp): point it at the
# file system whose speed you mean to compare on.
work=$(mktemp -d "${TMPDIR:-/tmp}/zvmail32-pop3-bench.XXXXXX")
chmod 755 "$work"
state=$work/mailsystem
cleanup() {
  "$repo/scripts/mailsystem/stop.sh" "$state" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$repo/scripts/mailsystem/start.sh" "$address" "$state" "$user:$password"
maildir=$state/mail/$user/Maildir

# Empties the mailbox (dovecot's index with it) and fills it with COUNT
# copies of a message whose body has LINES lines, as the mail user.
fill() {
  local count=$1 lines=$2
  /usr/bin/python3 - "$maildir" "$count" "$lines" <<'EOF'
import os, pwd, shutil, sys
maildir, count, lines = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
mail = pwd.getpwnam("mail")
for sub in ("cur", "new", "tmp"):
    shutil.rmtree(os.path.join(maildir, sub), ignore_errors=True)
for name in os.listdir(maildir):
    path = os.path.join(maildir, name)
    if os.path.isfile(path):
        os.remove(path)
for sub in ("cur", "new", "tmp"):
    os.mkdir(os.path.join(maildir, sub), 0o700)
    os.chown(os.path.join(maildir, sub), mail.pw_uid, mail.pw_gid)
body = "".join("line %06d of the transaction data: ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789\r\n" % i
               for i in range(lines))
for i in range(count):
    text = ("Return-Path: <robot@example.com>\r\nFrom: robot@example.com\r\nTo: %s@example.com\r\n"
            "Subject: TRANSPORT\r\nMessage-ID: <%d.bench@example.com>\r\n\r\n" % ("bench", i)) + body
    path = os.path.join(maildir, "new", "%d.M%dP1.bench,S=%d" % (1700000000 + i, i, len(text)))
    with open(path, "w", newline="") as f:
        f.write(text)
    os.chown(path, mail.pw_uid, mail.pw_gid)
EOF
}

left() { find "$maildir/cur" "$maildir/new" -type f | wc -l; }

now() { date +%s.%N; }

# Runs zvmail32 once in a fresh instance directory; prints the seconds of
# its receive pass and leaves the files in $work/zv/in.
run_zvmail32() {
  local inst=$work/zv
  rm -rf "$inst"
  mkdir -p "$inst/in" "$inst/out"
  ln -s "$program" "$inst/zvmail32"
  printf 'SMTP %s\r\nPOP %s\r\nUSERNAME %s\r\nPASSWORD %s\r\nROBOT robot\r\nIN %s/in/\r\nOUT %s/out/\r\nCOUNTER 0\r\nLOG NO\r\nDELETEALL YES\r\n' \
    "$address" "$address" "$user" "$password" "$inst" "$inst" >"$inst/ZVMAIL32.INI"
  (cd / && QT_QPA_PLATFORM=offscreen ZVMAIL32_ECHO_STATUS=lbAction "$inst/zvmail32" 2>&1 >/dev/null) |
    /usr/bin/python3 -c '
import sys, time
start = end = None
for line in sys.stdin:
    if line.startswith("lbAction: Receiving"):
        start = time.monotonic()
    elif line.startswith("lbAction: Idle") and start is not None:
        end = time.monotonic()
print("%.6f" % (end - start) if start and end else "nan")'
}

run_mpop() {
  local dir=$work/mpop
  rm -rf "$dir"
  mkdir -p "$dir/Maildir/cur" "$dir/Maildir/new" "$dir/Maildir/tmp"
  cat >"$dir/mpoprc" <<EOF
account bench
host $address
port 110
user $user
password $password
auth user
tls off
delivery maildir $dir/Maildir
keep off
only_new off
received_header off
uidls_file $dir/uidls
EOF
  chmod 600 "$dir/mpoprc"
  local t0 t1
  t0=$(now)
  mpop --file="$dir/mpoprc" -q bench
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

run_fetchmail() {
  local dir=$work/fetchmail
  rm -rf "$dir"
  mkdir -p "$dir"
  cat >"$dir/rc" <<EOF
set no syslog
poll $address protocol pop3 port 110 user "$user" password "$password" sslproto "" bsmtp $dir/out.bsmtp fetchall nokeep
EOF
  chmod 600 "$dir/rc"
  local t0 t1
  t0=$(now)
  HOME=$dir fetchmail -f "$dir/rc" --pidfile "$dir/pid" --idfile "$dir/ids" -s -N 2>/dev/null
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

check_empty() {
  local who=$1
  [ "$(left)" = 0 ] || { echo "$who left $(left) messages in the mailbox" >&2; exit 1; }
}

# Keeps the smaller of two times (the least disturbed run on a shared machine).
best() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }

# Round of one mailbox: COUNT messages of LINES body lines each, fetched by
# each client in turn, REPEAT times; the best time of each client counts.
declare -A secs size
round() {
  local label=$1 count=$2 lines=$3 r filed
  for ((r = 0; r < repeat; r++)); do
    fill "$count" "$lines"
    secs[$label,zvmail32]=$(best "${secs[$label,zvmail32]:-}" "$(run_zvmail32)")
    check_empty zvmail32
    filed=$(find "$work/zv/in" -name '*.TXT' | wc -l)
    [ "$filed" = "$count" ] || { echo "zvmail32 filed $filed of $count messages" >&2; exit 1; }
    size[$label]=$(stat -c %s "$(find "$work/zv/in" -name '*.TXT' -print -quit)")
    fill "$count" "$lines"; secs[$label,mpop]=$(best "${secs[$label,mpop]:-}" "$(run_mpop)"); check_empty mpop
    fill "$count" "$lines"
    secs[$label,fetchmail]=$(best "${secs[$label,fetchmail]:-}" "$(run_fetchmail)")
    check_empty fetchmail
  done
}

small_lines=24      # about 2 KB with the header
big_lines=128000    # about 10 MB
round small "$n" $small_lines
round big 1 $big_lines

printf '\n%d messages of %s bytes (as filed), then 1 message of %s bytes, from dovecot on %s, best of %d\n' \
  "$n" "${size[small]}" "${size[big]}" "$address" "$repeat"
printf '%-10s %12s %12s %14s %12s\n' client "small s" "msgs/s" "10 MB s" "MB/s"
for c in zvmail32 mpop fetchmail; do
  s=${secs[small,$c]} b=${secs[big,$c]}
  printf '%-10s %12.3f %12.0f %14.3f %12.1f\n' "$c" "$s" "$(echo "$n / $s" | bc -l)" "$b" \
    "$(echo "${size[big]} / 1000000 / $b" | bc -l)"
done
for c in mpop fetchmail; do
  printf 'zvmail32 / %-9s  small: %.2f  10 MB: %.2f\n' "$c" \
    "$(echo "${secs[small,$c]} / ${secs[small,zvmail32]}" | bc -l)" \
    "$(echo "${secs[big,$c]} / ${secs[big,zvmail32]}" | bc -l)"
done
