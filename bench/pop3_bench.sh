#!/bin/bash
# Receive throughput: fetches the same mailbox of N messages of about 2 KB
# (default 1000), and then one message of 10 MB, from one local dovecot with
# zvmail32, with mpop (delivering into a Maildir), with fetchmail (into one
# BSMTP file) and with a reference poplib client (RETR, a file, DELE on one
# connection), refilling the mailbox before every run. Prints seconds,
# messages per second, MB per second and processor time per message, and the
# ratios of zvmail32 to the others.
#
#   bench/pop3_bench.sh [N]
#
# Each client fetches each mailbox REPEAT times (default 5), the clients
# taking turns; the median of each counts, as the machine may be shared.
# ZVMAIL32 names the program (default: build/zvmail32 of this checkout);
# ZVMAIL32_BEFORE names a second build (e.g. of the commit before a change),
# measured in the same turns, so before and after come from the same minutes.
# The mail system runs on 127.0.0.32 (scripts/mailsystem); needs root.
# zvmail32 is timed from the action label's change to "Receiving" to its
# change to "Idle" (ZVMAIL32_ECHO_STATUS=lbAction: only that label is echoed,
# so the timing adds no work per message), which covers connecting, every
# RETR, the files, flushing them to stable storage, DELE and QUIT, but not
# the start-up of the program and its one-second auto-run delay; its
# processor time is that of the whole process less the median of REPEAT runs
# with an empty mailbox (start-up and exit). The other clients are timed, and
# their processor time counted, as whole processes.
set -euo pipefail

n=${1:-1000}
repeat=${REPEAT:-5}
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
program=${ZVMAIL32:-$repo/build/zvmail32}
before=${ZVMAIL32_BEFORE:-}
address=127.0.0.32
user=bench
password=benchpw

[ -x "$program" ] || { echo "no program at $program (set ZVMAIL32)" >&2; exit 1; }
[ -z "$before" ] || [ -x "$before" ] || { echo "no program at $before (ZVMAIL32_BEFORE)" >&2; exit 1; }
for tool in mpop fetchmail dovecot bc; do
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

fill() { /usr/bin/python3 "$here/fill_maildir.py" "$maildir" "$1" "$2"; }

left() { find "$maildir/cur" "$maildir/new" -type f | wc -l; }

# timed LABEL [--window] -- COMMAND...: runs it, stores "seconds cpu" in
# $result; says so and returns 1 when it failed.
timed() {
  local label=$1 status secs cpu
  shift
  read -r status secs cpu < <(/usr/bin/python3 "$here/timed_run.py" "$@")
  if [ "$status" != 0 ] || [ "$secs" = nan ]; then
    echo "$label failed (exit status $status)" >&2
    return 1
  fi
  result="$secs $cpu"
}

# Runs zvmail32 (program $2) once in a fresh instance directory $work/$1;
# leaves the files in $work/$1/in.
run_zvmail32() {
  local inst=$work/$1 prog=$2
  rm -rf "$inst"
  mkdir -p "$inst/in" "$inst/out"
  ln -s "$prog" "$inst/zvmail32"
  printf 'SMTP %s\r\nPOP %s\r\nUSERNAME %s\r\nPASSWORD %s\r\nROBOT robot\r\nIN %s/in/\r\nOUT %s/out/\r\nCOUNTER 0\r\nLOG NO\r\nDELETEALL YES\r\n' \
    "$address" "$address" "$user" "$password" "$inst" "$inst" >"$inst/ZVMAIL32.INI"
  QT_QPA_PLATFORM=offscreen ZVMAIL32_ECHO_STATUS=lbAction \
    timed "$1" --window --cwd / -- "$inst/zvmail32"
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
  timed mpop -- mpop --file="$dir/mpoprc" -q bench
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
  HOME=$dir timed fetchmail -- fetchmail -f "$dir/rc" --pidfile "$dir/pid" --idfile "$dir/ids" -s -N
}

run_poplib() {
  local dir=$work/poplib
  rm -rf "$dir"
  mkdir -p "$dir"
  timed poplib -- /usr/bin/python3 "$here/pop3_client.py" "$address" 110 "$user" "$password" "$dir"
}

check_empty() {
  local who=$1
  [ "$(left)" = 0 ] || { echo "$who left $(left) messages in the mailbox" >&2; exit 1; }
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

clients=(zvmail32)
[ -n "$before" ] && clients+=(before)
clients+=(mpop fetchmail poplib)
declare -A prog=([zvmail32]=$program [before]=$before)
declare -A secs cpus size idle_cpu

# Processor time of a run with an empty mailbox: start-up and exit.
for c in zvmail32 ${before:+before}; do
  samples=()
  for ((r = 0; r < repeat; r++)); do
    fill 0 0
    run_zvmail32 "$c" "${prog[$c]}" || exit 1
    samples+=("${result#* }")
  done
  idle_cpu[$c]=$(median "${samples[@]}")
done

# Round of one mailbox: COUNT messages of LINES body lines each, fetched by
# each client in turn, REPEAT times; the medians count.
round() {
  local label=$1 count=$2 lines=$3 r c filed
  for ((r = 0; r < repeat; r++)); do
    for c in "${clients[@]}"; do
      fill "$count" "$lines"
      case $c in
        zvmail32|before) run_zvmail32 "$c" "${prog[$c]}" || exit 1 ;;
        *) "run_$c" || exit 1 ;;
      esac
      check_empty "$c"
      secs[$label,$c]+=" ${result% *}"
      cpus[$label,$c]+=" ${result#* }"
      if [ "$c" = zvmail32 ]; then
        filed=$(find "$work/zvmail32/in" -name '*.TXT' | wc -l)
        [ "$filed" = "$count" ] || { echo "zvmail32 filed $filed of $count messages" >&2; exit 1; }
        size[$label]=$(stat -c %s "$(find "$work/zvmail32/in" -name '*.TXT' -print -quit)")
      fi
    done
  done
  for c in "${clients[@]}"; do
    # shellcheck disable=SC2086
    secs[$label,$c]=$(median ${secs[$label,$c]})
    # shellcheck disable=SC2086
    cpus[$label,$c]=$(median ${cpus[$label,$c]})
    case $c in zvmail32|before) cpus[$label,$c]=$(echo "${cpus[$label,$c]} - ${idle_cpu[$c]}" | bc -l) ;; esac
  done
}

small_lines=24      # about 2 KB with the header
big_lines=128000    # about 10 MB
round small "$n" $small_lines
round big 1 $big_lines

name() { case $1 in before) echo "zv-before" ;; *) echo "$1" ;; esac; }
printf '\n%d messages of %s bytes (as filed), then 1 message of %s bytes, from dovecot on %s, median of %d; load %s\n' \
  "$n" "${size[small]}" "${size[big]}" "$address" "$repeat" "$(cut -d' ' -f1 /proc/loadavg)"
[ -n "$before" ] && printf 'zvmail32: %s\nzv-before: %s\n' "$program" "$before"
printf '%-10s %10s %10s %12s %10s %10s %12s\n' client "small s" "msgs/s" "CPU us/msg" "10 MB s" "MB/s" "10 MB CPU ms"
for c in "${clients[@]}"; do
  s=${secs[small,$c]} b=${secs[big,$c]}
  printf '%-10s %10.3f %10.0f %12.0f %10.3f %10.1f %12.0f\n' "$(name "$c")" "$s" "$(echo "$n / $s" | bc -l)" \
    "$(echo "${cpus[small,$c]} * 1000000 / $n" | bc -l)" "$b" "$(echo "${size[big]} / 1000000 / $b" | bc -l)" \
    "$(echo "${cpus[big,$c]} * 1000" | bc -l)"
done
echo "(zvmail32's CPU: less an empty-mailbox run; the others' include their start-up)"
for c in "${clients[@]:1}"; do
  printf 'zvmail32 / %-9s  small: %.2f  10 MB: %.2f  (time ratios: above 1 = zvmail32 faster)\n' "$(name "$c")" \
    "$(echo "${secs[small,$c]} / ${secs[small,zvmail32]}" | bc -l)" \
    "$(echo "${secs[big,$c]} / ${secs[big,zvmail32]}" | bc -l)"
done
