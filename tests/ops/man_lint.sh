#!/bin/sh
# The manual page passes mandoc's lint without a message, and groff's
# warnings when man-db is there. Usage: man_lint.sh <page>
page=$1
if ! command -v mandoc >/dev/null; then
  echo "SKIP: mandoc is not installed (Debian package mandoc)"
  exit 77
fi
status=0
out=$(mandoc -T lint "$page" 2>&1) || status=1
if [ -n "$out" ] || [ $status -ne 0 ]; then
  printf 'mandoc -T lint:\n%s\n' "$out"
  exit 1
fi
if command -v man >/dev/null; then
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  if [ -n "$out" ]; then
    printf 'man --warnings:\n%s\n' "$out"
    exit 1
  fi
fi
# Every key of the configuration is described.
for key in SMTP POP USERNAME PASSWORD ROBOT IN OUT COUNTER LOG LOGFILE DELETEALL DEBUG DIAL HANGUP \
    CONNECTION LOGIN_ID LOGIN_PWD RETRIES DAEMON MAXSIZE SMTP_TLS POP_TLS SMTP_USERNAME SMTP_PASSWORD TLS_CA_FILE; do
  if ! grep -q -x "\.B $key" "$page"; then
    echo "the key $key has no entry"
    exit 1
  fi
done
echo "ok"
