#!/usr/bin/env bash
# The main job of zvmail32, for real, on one machine: installs what is missing
# (Debian 12), builds the program, starts a local mail system on 127.0.0.53
# (an SMTP server delivering into Maildirs and dovecot serving them by POP3),
# prepares an example instance from examples/instance (ZVMAIL32.INI, three
# outbound work-file pairs addressed to the robot's own mailbox, an empty IN),
# runs one transfer cycle and shows what happened: the pairs left OUT, came
# back by POP3 and were filed in IN as numbered pairs; then the log. The mail
# servers are stopped again whatever happens.
#
#   scripts/run-example.sh
#
# Environment: ZV_BUILD_DIR (default build), ZV_EXAMPLE_DIR (default a new
# directory under /tmp, kept for a look afterwards), ZV_EXAMPLE_ADDRESS
# (default 127.0.0.53). Needs root or sudo (apt-get, ports 25 and 110).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${ZV_BUILD_DIR:-build}
address=${ZV_EXAMPLE_ADDRESS:-127.0.0.53}

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "run-example: needs root or sudo" >&2; exit 1; }
  sudo="sudo"
fi

step() { printf '\n== %s\n' "$*"; }

step "Packages"
packages=(g++ cmake ninja-build qt6-base-dev qt6-qpa-plugins libgtest-dev libgmock-dev libbenchmark-dev
          libx11-dev fontconfig fonts-dejavu-core dovecot-pop3d python3-aiosmtpd)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  # dovecot must not start system-wide on installation: it would take port
  # 110 on every address, the local mail system's included.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    remove_policy=1
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || { [[ -n ${remove_policy:-} ]] && $sudo rm -f /usr/sbin/policy-rc.d; exit 1; }
  [[ -n ${remove_policy:-} ]] && $sudo rm -f /usr/sbin/policy-rc.d
else
  echo "all present"
fi

step "Build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
buildlog=$(mktemp)
if ! ninja -C "$build" zvmail32 >"$buildlog" 2>&1; then
  cat "$buildlog" >&2
  rm -f "$buildlog"
  exit 1
fi
tail -n 1 "$buildlog"
rm -f "$buildlog"
program=$(cd "$build" && pwd)/zvmail32

# The example lives outside the source tree: dovecot's mail processes run as
# the mail user and must be able to reach the mail store.
work=${ZV_EXAMPLE_DIR:-$(mktemp -d /tmp/zvmail32-example.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
chmod 755 "$work"
instance=$work/instance
mailstate=$work/mailsystem
password=robot-$RANDOM$RANDOM

step "Local mail system on $address (state in $mailstate)"
stop_mail() { $sudo "$root/scripts/mailsystem/stop.sh" "$mailstate" || true; }
trap stop_mail EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
$sudo "$root/scripts/mailsystem/start.sh" "$address" "$mailstate" "robot:$password"
echo "SMTP $address:25 and POP3 $address:110 are up; mailbox: robot"

step "Example instance $instance"
rm -rf "$instance"
mkdir -p "$instance/IN" "$instance/OUT"
cp examples/instance/OUT/* "$instance/OUT/"
sed -e "s|@ADDRESS@|$address|g" -e "s|@PASSWORD@|$password|g" -e "s|@INSTANCE@|$instance|g" \
  examples/instance/ZVMAIL32.INI.template >"$instance/ZVMAIL32.INI"
chmod 600 "$instance/ZVMAIL32.INI"
# A link makes the directory an instance: the program finds its
# ZVMAIL32.INI and writes its log beside the path it was started by.
ln -s "$program" "$instance/zvmail32"
sent=$(ls "$instance/OUT"/TM*.WRK | wc -l)
echo "OUT before the run:"
ls -l "$instance/OUT" | sed 1d | sed 's/^/  /'

step "One transfer cycle (ZVMAIL32_ECHO_STATUS=1 shows the status window's changes)"
set +e
(cd "$instance" && ZVMAIL32_ECHO_STATUS=1 timeout 300 ./zvmail32) 2>"$work/status.txt"
rc=$?
set -e
grep -E '^(lbAction|lbCommand|lbError): ' "$work/status.txt" | grep -v 'Sending message\.\.\.\|Receiving message\.\.\.' \
  | uniq | sed 's/^/  /' || true
grep -vE '^(lbAction|lbCommand|lbError|lbResponse|lbState|Percent|icn[A-Za-z]+|lbDaemon|lbVersion): ' \
  "$work/status.txt" | sed 's/^/  stderr: /' || true
echo "exit code $rc"

step "OUT after the run"
left=$(find "$instance/OUT" -type f | wc -l)
if [[ $left -eq 0 ]]; then echo "  (empty: every pair was accepted by the SMTP server and removed)"; else ls -l "$instance/OUT" | sed 1d | sed 's/^/  /'; fi

step "IN after the run (filed from the POP3 mailbox)"
ls -l "$instance/IN" | sed 1d | sed 's/^/  /'
first=$(ls "$instance/IN"/*.WRK 2>/dev/null | head -n 1 || true)
if [[ -n $first ]]; then
  base=${first%.WRK}
  echo
  echo "  $(basename "$base").WRK:"
  sed 's/^/    | /' "$base.WRK"
  echo "  $(basename "$base").TXT:"
  sed 's/^/    | /' "$base.TXT"
fi
echo
echo "  COUNTER in ZVMAIL32.INI: $(sed -n 's/^COUNTER *\([0-9]*\).*/\1/p' "$instance/ZVMAIL32.INI" | tr -d '\r')"

step "Log ($instance/ZVMAIL32.LOG)"
tr -d '\r' <"$instance/ZVMAIL32.LOG" | sed 's/^/  /' || true

filed=$(find "$instance/IN" -name '*.WRK' | wc -l)
echo
if [[ $rc -eq 0 && $left -eq 0 && $filed -eq $sent ]]; then
  echo "Round trip complete: $sent pairs sent from OUT, $filed pairs filed in IN. Instance kept in $instance"
else
  echo "Round trip incomplete: exit code $rc, $left files left in OUT, $filed of $sent pairs filed in IN" >&2
  echo "Mail system logs: $mailstate/smtpd.log, $mailstate/dovecot.log" >&2
  exit 1
fi
