#!/bin/sh
# The systemd template unit passes systemd-analyze verify without a message,
# as an instance whose program is the built one.
# Usage: unit_verify.sh <unit file> <built program>
unit=$1 program=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/bin/zvmail32|$program|" "$unit" > "$dir/zvmail32@site1.service"
status=0
out=$(systemd-analyze verify --man=no "$dir/zvmail32@site1.service" 2>&1) || status=1
if [ -n "$out" ] || [ $status -ne 0 ]; then
  printf 'systemd-analyze verify:\n%s\n' "$out"
  exit 1
fi
echo "ok"
