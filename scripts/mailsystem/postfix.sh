#!/bin/bash
# Runs a private Postfix as a strict SMTP server on one loopback address,
# port 25: a client that sends a command before the reply to the previous one
# came, without having been offered PIPELINING, is disconnected ("improper
# command pipelining" in its log). Mail for nobody@<any domain> is refused
# with 550; all other mail is accepted and never delivered: it stays in the
# hold queue for inspection (postqueue -c STATE-DIR/etc -j).
#
#   postfix.sh start [--tls CERT-DIR --sasl SOCKET [--cert NAME] [--smtps-mechanisms LIST]] ADDRESS STATE-DIR
#   postfix.sh stop STATE-DIR
#
# With --tls the server also listens for submission on port 587 (STARTTLS
# offered, and required before AUTH and mail) and on port 465 (TLS from the
# first byte), both presenting CERT-DIR/server.pem with CERT-DIR/server.key
# (certs.sh makes them; --cert NAME: NAME.pem and NAME.key instead), both
# offering PIPELINING and relaying only for a client that authenticated; the
# passwords are checked by dovecot through its auth socket SOCKET (start.sh
# makes STATE-DIR/sasl/auth), which also names the SASL mechanisms offered
# (with start.sh --oauth2 XOAUTH2 and OAUTHBEARER too; an AUTH line longer
# than 2048 bytes is cut, a response on a line of its own may be 12288
# long). --smtps-mechanisms limits the SASL mechanisms port 465 offers (e.g.
# "login"). Port 25 stays as it is without --tls: plain, no STARTTLS, no
# AUTH.
#
# Configuration, queue and log (STATE-DIR/maillog) live in STATE-DIR; the
# system's own Postfix is neither used nor touched, and several instances run
# side by side on different 127.x addresses. start returns when the server
# greets; both print nothing but errors. Needs root and Debian's postfix.
# Stopping an instance that is not running, or a missing STATE-DIR, is no
# error.
set -eu
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH

die() { echo "postfix: $*" >&2; exit 1; }
usage() {
  echo "usage: $0 start [--tls CERT-DIR --sasl SOCKET [--cert NAME] [--smtps-mechanisms LIST]] ADDRESS STATE-DIR" \
    "| stop STATE-DIR" >&2
  exit 2
}

# True when something accepts connections on $1 port $2 (default 25; this
# address or every address).
answers() {
  (exec 3<>"/dev/tcp/$1/${2:-25}") 2>/dev/null
}

# True when a socket listens on $1 port $2 (without connecting: a connection
# would leave a line in the server's log).
listening() {
  local a b c d
  IFS=. read -r a b c d <<<"$1"
  awk -v want="$(printf '%02X%02X%02X%02X:%04X' "$d" "$c" "$b" "$a" "$2")" \
    '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

# True when $1 port 25 greets with 220; says goodbye properly.
greets() {
  (
    exec 3<>"/dev/tcp/$1/25"
    IFS= read -r -t 2 line <&3
    [[ $line == 220* ]] || exit 1
    printf 'QUIT\r\n' >&3
    IFS= read -r -t 2 line <&3 || true
  ) 2>/dev/null
}

# The pid of this instance's master process, if it runs.
master_pid() {
  local pid
  [ -s "$spool/pid/master.pid" ] || return 1
  pid=$(tr -d ' \n' <"$spool/pid/master.pid")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  grep -qzxF "MAIL_CONFIG=$etc" "/proc/$pid/environ" 2>/dev/null || return 1
  echo "$pid"
}

# Pids of every process of this instance: the master hands its MAIL_CONFIG
# down to all the daemons it starts.
instance_pids() {
  grep -lzxF "MAIL_CONFIG=$etc" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# Waits until the processes $2... are gone, at most $1 tenths of a second.
wait_gone() {
  local n=0 limit=$1 pid alive
  shift
  while :; do
    alive=0
    for pid in "$@"; do
      # A zombie is gone for our purpose: it holds no ports or files.
      [ -e "/proc/$pid" ] && [ "$(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null)" != Z ] && alive=1
    done
    [ "$alive" = 0 ] && return 0
    [ "$n" -ge "$limit" ] && return 1
    sleep 0.1
    n=$((n + 1))
  done
}

set_state() {
  mkdir -p "$1"
  state=$(cd "$1" && pwd)
  [[ $state =~ ^[A-Za-z0-9._/+-]+$ ]] || die "state directory path must not contain blanks or special characters: $state"
  etc=$state/etc
  spool=$state/spool
}

do_stop() {
  [ -d "$1" ] || exit 0
  set_state "$1"
  local rc=0 pids address
  if master_pid >/dev/null; then
    postfix -c "$etc" stop >>"$state/postfix.out" 2>&1 || true
  fi
  pids=$(instance_pids)
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    if ! wait_gone 100 $pids; then
      echo "postfix: processes of $state did not end; killing them" >&2
      # shellcheck disable=SC2086
      kill -KILL $pids 2>/dev/null || true
      # shellcheck disable=SC2086
      wait_gone 50 $pids || { echo "postfix: processes of $state do not end" >&2; rc=1; }
    fi
  fi
  # The next start on this address needs the port free.
  address=$(cat "$state/address" 2>/dev/null || true)
  if [ -n "$address" ]; then
    local n=0 port
    for port in 25 587 465; do
      [ -e "$etc/master.cf" ] && ! grep -q "^$address:$port " "$etc/master.cf" && continue
      while answers "$address" "$port"; do
        [ "$n" -lt 100 ] || { echo "postfix: $address port $port still answers" >&2; rc=1; break; }
        sleep 0.1
        n=$((n + 1))
      done
    done
  fi
  exit $rc
}

show_failure() {
  [ -s "$state/postfix.out" ] && { echo "--- postfix start" >&2; tr -d '\r' <"$state/postfix.out" | tail -n 20 >&2; }
  [ -s "$state/maillog" ] && { echo "--- $state/maillog" >&2; tail -n 20 "$state/maillog" >&2; }
  return 0
}

do_start() {
  local tls_dir="" sasl="" smtps_mechanisms="" cert=server
  while [ $# -gt 0 ]; do
    case $1 in
      --tls) [ $# -ge 2 ] || usage; tls_dir=$2; shift 2 ;;
      --sasl) [ $# -ge 2 ] || usage; sasl=$2; shift 2 ;;
      --cert) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
      --smtps-mechanisms) [ $# -ge 2 ] || usage; smtps_mechanisms=$2; shift 2 ;;
      -*) usage ;;
      *) break ;;
    esac
  done
  [ $# -eq 2 ] || usage
  local address=$1
  [[ $address =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || die "$address is not a loopback address (127.x.y.z)"
  [ "$(id -u)" = 0 ] || die "must run as root (port 25, the postfix user's files)"
  command -v postfix >/dev/null || die "postfix is missing (apt-get install postfix)"
  command -v script >/dev/null || die "script is missing (apt-get install bsdutils)"
  getent passwd postfix >/dev/null || die "the system has no user 'postfix'"
  local ports=(25)
  if [ -n "$tls_dir" ]; then
    [ -n "$sasl" ] || die "--tls needs --sasl SOCKET (dovecot's auth socket)"
    tls_dir=$(cd "$tls_dir" 2>/dev/null && pwd) || die "no certificate directory $tls_dir"
    [[ $tls_dir =~ ^[A-Za-z0-9._/+-]+$ ]] || die "certificate directory path must not contain blanks or special characters: $tls_dir"
    [[ $cert =~ ^[A-Za-z0-9._-]+$ ]] || die "invalid certificate name '$cert'"
    [ -r "$tls_dir/$cert.pem" ] && [ -r "$tls_dir/$cert.key" ] || die "no $cert.pem and $cert.key in $tls_dir (certs.sh makes them)"
    [ -S "$sasl" ] || die "no auth socket $sasl (start.sh starts dovecot with one)"
    [[ $sasl =~ ^/[A-Za-z0-9._/+-]+$ ]] || die "auth socket path must be absolute, without blanks or special characters: $sasl"
    [[ $smtps_mechanisms =~ ^[A-Za-z0-9,\ -]*$ ]] || die "invalid mechanism list '$smtps_mechanisms'"
    ports+=(587 465)
  fi
  set_state "$2"

  master_pid >/dev/null && die "a Postfix is already running in $state ($0 stop $state)"
  # Anything else on the ports would answer the readiness probe in our place.
  local port
  for port in "${ports[@]}"; do
    answers "$address" "$port" && die "something already answers on $address port $port (a system-wide mail server?)"
  done

  # The daemons run as the postfix user and work in the queue directory:
  # every directory above it has to be searchable by others.
  chmod 755 "$state"
  local d
  d=$state
  while [ "$d" != / ]; do
    [ "$(( 0$(stat -c %a "$d") & 1 ))" = 1 ] || die "directory $d is not searchable by others (chmod o+x it or choose another state directory)"
    d=$(dirname "$d")
  done

  rm -rf "$etc" "$spool" "$state/data" "$state/maillog" "$state/postfix.out"
  mkdir -p "$etc" "$spool" "$state/data"
  chown postfix "$state/data"
  echo "$address" >"$state/address"

  cat >"$etc/main.cf" <<EOF
# Generated by postfix.sh for the strict SMTP server on $address.
compatibility_level = 3.6
queue_directory = $spool
data_directory = $state/data
maillog_file = $state/maillog
maillog_file_prefixes = $state
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = sink.example
mydestination =
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
# Nothing leaves: accepted mail goes on hold, and even released it finds
# no transport that could deliver it.
default_transport = smtp
defer_transports = smtp
smtpd_peername_lookup = no
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = check_recipient_access regexp:$etc/recipients
# Strict command synchronisation.
smtpd_forbid_unauth_pipelining = yes
smtpd_data_restrictions = reject_unauth_pipelining
EOF
  if [ -n "$tls_dir" ]; then
    cat >>"$etc/main.cf" <<EOF
# Submission (587, 465): the fixture certificate, passwords checked by
# dovecot. Port 25 offers neither TLS nor AUTH (its settings stay off here
# and are switched on per service in master.cf).
smtpd_tls_chain_files = $tls_dir/$cert.key, $tls_dir/$cert.pem
smtpd_tls_loglevel = 1
smtpd_tls_received_header = no
smtpd_sasl_type = dovecot
smtpd_sasl_path = $sasl
smtpd_sasl_authenticated_header = no
EOF
  fi
  cat >"$etc/recipients" <<'EOF'
/^nobody@/ 550 5.1.1 User unknown
/./ HOLD
EOF
  # Only the services this server needs, none of them chrooted (the queue
  # directory would have to hold copies of system files).
  cat >"$etc/master.cf" <<EOF
# service type  private unpriv chroot wakeup maxproc command
$address:25 inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
  if [ -n "$tls_dir" ]; then
    local filter=""
    [ -n "$smtps_mechanisms" ] && filter="
  -o smtpd_sasl_mechanism_filter=${smtps_mechanisms// /}"
    cat >>"$etc/master.cf" <<EOF
$address:587 inet n - n - - smtpd
  -o syslog_name=postfix/submission
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject
$address:465 inet n - n - - smtpd
  -o syslog_name=postfix/smtps
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_relay_restrictions=permit_sasl_authenticated,reject$filter
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
EOF
  fi

  # postfix reports some fatal errors only to syslog or to a terminal: a
  # pseudo terminal (script) catches them for the failure report. The master
  # detaches from it; it returns when the master is ready or has failed.
  if ! script -qec "postfix -c $etc start" /dev/null </dev/null >"$state/postfix.out" 2>&1; then
    echo "postfix: the server on $address did not start" >&2
    show_failure
    ( do_stop "$state" ) >/dev/null 2>&1 || true
    exit 1
  fi

  local n=0
  until greets "$address"; do
    local why=
    master_pid >/dev/null || why="the master process ended during start-up"
    [ "$n" -lt 300 ] || why="no greeting on $address port 25 within 30 s"
    if [ -n "$why" ]; then
      echo "postfix: $why" >&2
      show_failure
      ( do_stop "$state" ) >/dev/null 2>&1 || true
      exit 1
    fi
    sleep 0.1
    n=$((n + 1))
  done
  # The master opened every listener before the first greeting.
  for port in "${ports[@]}"; do
    listening "$address" "$port" || {
      echo "postfix: nothing listens on $address port $port" >&2
      show_failure
      ( do_stop "$state" ) >/dev/null 2>&1 || true
      exit 1
    }
  done
}

case "${1:-}" in
  start) shift; do_start "$@" ;;
  stop) [ $# -eq 2 ] || usage; do_stop "$2" ;;
  *) usage ;;
esac
