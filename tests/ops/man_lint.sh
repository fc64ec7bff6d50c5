#!/bin/sh
# The manual page passes mandoc's lint without a message and describes every
# key of the configuration. Usage: man_lint.sh <page>
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
# Every key of the configuration is described.
for key in SMTP POP USERNAME PASSWORD ROBOT IN OUT COUNTER LOG LOGFILE DELETEALL DEBUG DIAL HANGUP \
    CONNECTION LOGIN_ID LOGIN_PWD RETRIES DAEMON MAXSIZE SMTP_TLS POP_TLS SMTP_USERNAME SMTP_PASSWORD TLS_CA_FILE \
    SMTP_AUTH POP_AUTH OAUTH_TOKEN_URL OAUTH_DEVICE_URL OAUTH_CLIENT_ID OAUTH_CLIENT_SECRET OAUTH_SCOPE \
    OAUTH_REFRESH_TOKEN OAUTH_TOKEN_COMMAND PASSWORD_COMMAND SMTP_PASSWORD_COMMAND LOGIN_PWD_COMMAND \
    OAUTH_CLIENT_SECRET_COMMAND; do
  if ! grep -q -x "\.B $key" "$page"; then
    echo "the key $key has no entry"
    exit 1
  fi
done
echo "ok"
