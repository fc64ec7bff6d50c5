#!/bin/bash
# Starts a local mail system on one loopback address: an SMTP server that
# delivers into Maildirs (smtpd.py, aiosmtpd) and dovecot serving the same
# Maildirs by POP3. Everything it needs and writes lives in STATE-DIR; several
# systems run side by side on different loopback addresses.
#
#   start.sh [OPTIONS] ADDRESS STATE-DIR [USER:PASSWORD ...]
#
#   --tls CERT-DIR     POP3 offers STLS (plaintext login stays allowed before
#                      it) and POP3S listens too, with the certificate
#                      CERT-DIR/server.pem and key CERT-DIR/server.key (made by
#                      certs.sh)
#   --cert NAME        present CERT-DIR/NAME.pem and NAME.key instead
#   --smtp-port N      SMTP port (default 25)
#   --pop-port N       POP3 port (default 110)
#   --pop3s-port N     POP3S port with --tls (default 995)
#   --oauth2 KEY-FILE  dovecot also takes OAuth2 bearer tokens (SASL XOAUTH2
#                      and OAUTHBEARER, for POP3 and through the auth socket):
#                      JWTs signed HS256 with the key in KEY-FILE (base64, one
#                      line) whose "sub" claim names the user
#
# ADDRESS is 127.x.y.z or ::1 (on ::1 give ports no other system uses).
# Each USER gets a Maildir (STATE-DIR/mail/USER/Maildir) and a POP3 login;
# mail to USER@<any domain> is delivered there. When the system has a user
# 'postfix', dovecot's authentication also listens on STATE-DIR/sasl/auth for
# a Postfix (smtpd_sasl_type dovecot) checking the same users' passwords.
# Returns when every server answers; prints nothing but errors. Needs root
# (low ports, the mail user's files) and Debian's dovecot-pop3d and
# python3-aiosmtpd. Stop it with stop.sh STATE-DIR.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
die() { echo "mail system: $*" >&2; exit 1; }

usage() { echo "usage: $0 [--tls CERT-DIR [--cert NAME]] [--smtp-port N] [--pop-port N] [--pop3s-port N]" \
  "[--oauth2 KEY-FILE] ADDRESS STATE-DIR [USER:PASSWORD ...]" >&2; exit 2; }
tls_dir="" cert=server oauth2_key="" smtp_port=25 pop_port=110 pop3s_port=995
while [ $# -gt 0 ]; do
  case $1 in
    --tls) [ $# -ge 2 ] || usage; tls_dir=$2; shift 2 ;;
    --cert) [ $# -ge 2 ] || usage; cert=$2; shift 2 ;;
    --smtp-port) [ $# -ge 2 ] || usage; smtp_port=$2; shift 2 ;;
    --pop-port) [ $# -ge 2 ] || usage; pop_port=$2; shift 2 ;;
    --pop3s-port) [ $# -ge 2 ] || usage; pop3s_port=$2; shift 2 ;;
    --oauth2) [ $# -ge 2 ] || usage; oauth2_key=$2; shift 2 ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || usage
address=$1
state_arg=$2
shift 2

[[ $address =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}$ || $address == ::1 ]] ||
  die "$address is not a loopback address (127.x.y.z or ::1)"
for p in "$smtp_port" "$pop_port" "$pop3s_port"; do
  [[ $p =~ ^[1-9][0-9]{0,4}$ ]] && [ "$p" -le 65535 ] || die "invalid port '$p'"
done
if [ -n "$tls_dir" ]; then
  [[ $cert =~ ^[A-Za-z0-9._-]+$ ]] || die "invalid certificate name '$cert'"
  tls_dir=$(cd "$tls_dir" 2>/dev/null && pwd) || die "no certificate directory $tls_dir"
  [[ $tls_dir =~ ^[A-Za-z0-9._/+-]+$ ]] || die "certificate directory path must not contain blanks or special characters: $tls_dir"
  [ -r "$tls_dir/$cert.pem" ] && [ -r "$tls_dir/$cert.key" ] || die "no $cert.pem and $cert.key in $tls_dir (certs.sh makes them)"
  ports=(--smtp "$smtp_port" --pop "$pop_port" --pop3s "$pop3s_port")
else
  ports=(--smtp "$smtp_port" --pop "$pop_port")
fi
if [ -n "$oauth2_key" ]; then
  [ -r "$oauth2_key" ] || die "no key file $oauth2_key"
  [[ $(head -n 1 "$oauth2_key") =~ ^[A-Za-z0-9+/]{16,}=*$ ]] || die "$oauth2_key does not hold a base64 key"
fi
[ "$(id -u)" = 0 ] || die "must run as root (ports below 1024, files of the mail user)"
command -v dovecot >/dev/null || die "dovecot is missing (apt-get install dovecot-pop3d)"
/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || die "aiosmtpd is missing (apt-get install python3-aiosmtpd)"
getent passwd mail >/dev/null || die "the system has no user 'mail'"

mkdir -p "$state_arg"
state=$(cd "$state_arg" && pwd)
[[ $state =~ ^[A-Za-z0-9._/+-]+$ ]] || die "state directory path must not contain blanks or special characters: $state"

# A system already running here, or anything else on the ports, would answer
# the readiness probe in our place.
for f in smtpd.pid dovecot.pid; do
  if [ -s "$state/$f" ] && kill -0 "$(cat "$state/$f")" 2>/dev/null; then
    die "a mail system is already running in $state (stop.sh $state)"
  fi
done
/usr/bin/python3 "$here/probe.py" "${ports[@]}" free "$address" || exit 1

# dovecot's mail processes run as the mail user and must reach the Maildirs:
# every directory above them has to be searchable by others.
chmod 755 "$state"
d=$(dirname "$state")
while [ "$d" != / ]; do
  [ "$(( 0$(stat -c %a "$d") & 1 ))" = 1 ] || die "directory $d is not searchable by others (chmod o+x it or choose another state directory)"
  d=$(dirname "$d")
done

rm -rf "$state/run" "$state/lib" "$state/sasl" "$state/oauth2"
mkdir -p "$state/mail" "$state/lib"
# How stop.sh finds the ports again.
echo "${ports[*]}" >"$state/ports"
chmod 755 "$state/mail"

passwd=$state/passwd
: >"$passwd.new"
for pair in "$@"; do
  user=${pair%%:*}
  password=${pair#*:}
  [ "$user" != "$pair" ] || die "user '$pair' needs a password (USER:PASSWORD)"
  [[ $user =~ ^[A-Za-z0-9._-]+$ ]] || die "invalid user name '$user'"
  case $password in *:*|'') die "password of $user must be non-empty and contain no ':'";; esac
  home=$state/mail/$user
  mkdir -p "$home/Maildir/tmp" "$home/Maildir/new" "$home/Maildir/cur"
  chown -R mail:mail "$home"
  chmod 755 "$home"
  chmod 700 "$home/Maildir" "$home/Maildir/tmp" "$home/Maildir/new" "$home/Maildir/cur"
  printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$user" "$password" "$(id -u mail)" "$(id -g mail)" "$home" >>"$passwd.new"
done
# Read by dovecot's auth process and by smtpd.py (before it drops to mail).
chmod 640 "$passwd.new"
chgrp dovecot "$passwd.new" 2>/dev/null || chmod 644 "$passwd.new"
mv "$passwd.new" "$passwd"

if [ -n "$tls_dir" ]; then
  ssl_conf="ssl = yes
ssl_cert = <$tls_dir/$cert.pem
ssl_key = <$tls_dir/$cert.key"
  pop3s_listener="address = $address
    port = $pop3s_port"
else
  ssl_conf="ssl = no"
  pop3s_listener="port = 0"
fi
# Postfix asks dovecot whether a SASL password is right, through this socket.
sasl_service=""
if getent passwd postfix >/dev/null; then
  mkdir -p "$state/sasl"
  chmod 755 "$state/sasl"
  sasl_service="service auth {
  unix_listener $state/sasl/auth {
    mode = 0660
    user = postfix
    group = postfix
  }
}"
fi

# Bearer tokens are checked here, without asking the token endpoint: the
# signature with the key dovecot looks up as <azp>/<alg>/<kid> (tokens
# without azp and kid: default/HS256/default), the expiry, and "sub" as the
# user name. Passwords still go to the passwd-file below.
mechanisms="plain login"
oauth2_passdb=""
if [ -n "$oauth2_key" ]; then
  mkdir -p "$state/oauth2/keys/default/HS256"
  head -n 1 "$oauth2_key" >"$state/oauth2/keys/default/HS256/default"
  cat >"$state/oauth2/oauth2.conf" <<EOF
introspection_mode = local
local_validation_key_dict = fs:posix:prefix=$state/oauth2/keys/
username_attribute = sub
EOF
  # Read by dovecot's auth process.
  chgrp -R dovecot "$state/oauth2" 2>/dev/null && chmod -R g+rX,g-w,o-rwx "$state/oauth2"
  mechanisms="plain login xoauth2 oauthbearer"
  oauth2_passdb="auth_verbose = yes
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $state/oauth2/oauth2.conf
}"
fi

cat >"$state/dovecot.conf" <<EOF
# Generated by start.sh for the loopback mail system on $address.
base_dir = $state/run
state_dir = $state/lib
instance_name = zvmail-${address//:/_}
log_path = $state/dovecot.log
protocols = pop3
listen = $address
$ssl_conf
disable_plaintext_auth = no
auth_mechanisms = $mechanisms
auth_failure_delay = 0
first_valid_uid = $(id -u mail)
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
$oauth2_passdb
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $passwd
}
service pop3-login {
  inet_listener pop3 {
    address = $address
    port = $pop_port
  }
  inet_listener pop3s {
    $pop3s_listener
  }
}
$sasl_service
# No per-address delay after a failed login: tests log in wrongly on purpose.
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF

started=()
cleanup_on_failure() {
  for f in "$state/dovecot.log" "$state/smtpd.log"; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
  done
  "$here/stop.sh" "$state" >/dev/null 2>&1 || true
}

# Own sessions: a Ctrl-C meant for the caller does not reach the servers
# before stop.sh does. All descriptors go to the logs, so nobody waits on them.
setsid dovecot -F -c "$state/dovecot.conf" </dev/null >>"$state/dovecot.log" 2>&1 &
echo $! >"$state/dovecot.pid"
started+=($!)
setsid /usr/bin/python3 "$here/smtpd.py" --address "$address" --port "$smtp_port" --passwd "$passwd" \
  </dev/null >>"$state/smtpd.log" 2>&1 &
echo $! >"$state/smtpd.pid"
started+=($!)

if ! /usr/bin/python3 "$here/probe.py" "${ports[@]}" up "$address" 30 "${started[@]}"; then
  cleanup_on_failure
  exit 1
fi
