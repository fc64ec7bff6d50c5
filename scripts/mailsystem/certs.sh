#!/bin/bash
# Makes the certificates the TLS mail servers of the tests present, with
# openssl, into DIR (created; files of an earlier call are replaced):
#
#   ca.pem ca.key                   a test CA (trust it with TLS_CA_FILE)
#   server.pem server.key           a server certificate signed by the test CA
#                                   for every NAME (host names and IP
#                                   addresses, v4 or v6, as subjectAltName)
#   other-ca.pem other-ca.key       a second CA that signed nothing here
#   wrong-name.pem wrong-name.key   signed by the test CA for
#                                   wrong-name.invalid only
#   self-signed.pem self-signed.key self-signed, for every NAME
#
#   certs.sh DIR NAME...
#
# EC keys (P-256), no prompts, no passphrases; prints nothing but errors.
set -eu

die() { echo "certs: $*" >&2; exit 1; }
[ $# -ge 2 ] || { echo "usage: $0 DIR NAME..." >&2; exit 2; }
command -v openssl >/dev/null || die "openssl is missing (apt-get install openssl)"
dir=$1
shift

san=""
for name in "$@"; do
  if [[ $name =~ ^[0-9.]+$ || $name == *:* ]]; then
    san+=",IP:$name"
  elif [[ $name =~ ^[A-Za-z0-9*.-]+$ ]]; then
    san+=",DNS:$name"
  else
    die "not a host name or IP address: '$name'"
  fi
done
san=${san#,}

mkdir -p "$dir"
tmp=$(mktemp -d "$dir/.certs.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# openssl with its output kept for the error report only.
ossl() {
  openssl "$@" >"$tmp/out" 2>&1 || { cat "$tmp/out" >&2; die "openssl $1 failed"; }
}

serial() { echo "0x$(openssl rand -hex 8)"; }

# make_ca NAME SUBJECT
make_ca() {
  ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "$2" -keyout "$tmp/$1.key" -out "$tmp/$1.pem" -set_serial "$(serial)" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

# make_leaf NAME SUBJECT SAN SIGNER (SIGNER "self": self-signed)
make_leaf() {
  local name=$1 subject=$2 alt=$3 signer=$4
  cat >"$tmp/$name.ext" <<EOF
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = $alt
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
  ossl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "$subject" \
    -keyout "$tmp/$name.key" -out "$tmp/$name.csr"
  if [ "$signer" = self ]; then
    ossl x509 -req -in "$tmp/$name.csr" -key "$tmp/$name.key" -days 3650 -set_serial "$(serial)" \
      -extfile "$tmp/$name.ext" -out "$tmp/$name.pem"
  else
    ossl x509 -req -in "$tmp/$name.csr" -CA "$tmp/$signer.pem" -CAkey "$tmp/$signer.key" -days 3650 \
      -set_serial "$(serial)" -extfile "$tmp/$name.ext" -out "$tmp/$name.pem"
  fi
}

make_ca ca "/O=zvmail32 tests/CN=zvmail32 test CA"
make_ca other-ca "/O=zvmail32 tests/CN=zvmail32 unrelated CA"
make_leaf server "/O=zvmail32 tests/CN=$1" "$san" ca
make_leaf wrong-name "/O=zvmail32 tests/CN=wrong-name.invalid" "DNS:wrong-name.invalid" ca
make_leaf self-signed "/O=zvmail32 tests/CN=$1" "$san" self

for name in ca other-ca server wrong-name self-signed; do
  chmod 644 "$tmp/$name.pem"
  chmod 600 "$tmp/$name.key"
  mv -f "$tmp/$name.pem" "$tmp/$name.key" "$dir/"
done
