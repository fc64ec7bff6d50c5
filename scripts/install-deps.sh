#!/usr/bin/env bash
# Installs from Debian's packages what building, running and testing zvmail32
# needs. Usage: scripts/install-deps.sh [--bench]   (as root, or with sudo)
set -euo pipefail

packages=(
  # build
  g++ cmake ninja-build pkg-config netbase qt6-base-dev libgtest-dev libgmock-dev libbenchmark-dev libx11-dev
  libssl-dev
  # run: Qt's platform plugins (offscreen and xcb), a font, and the system's
  # trust store for TLS
  qt6-qpa-plugins fontconfig fonts-dejavu-core ca-certificates
  # tests: a real local mail system, a strict SMTP server, an X server for
  # the window tests; openssl makes the TLS servers' certificates
  dovecot-pop3d python3-aiosmtpd postfix openssl xvfb xauth x11-utils xdotool imagemagick
  # the manual page's lint and the Debian package (cpack -G DEB; the package's
  # library dependencies come from dpkg-shlibdeps)
  mandoc dpkg-dev
  # the fuzz targets: clang with libFuzzer and the sanitizers' runtimes
  clang libfuzzer-14-dev libclang-rt-14-dev
)
if [[ "${1:-}" == "--bench" ]]; then
  packages+=(mpop fetchmail msmtp)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -eq 0 ]] || sudo="sudo"
  # Servers pulled in here must not start system-wide: tests run their own.
  if [[ ! -e /usr/sbin/policy-rc.d ]]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee /usr/sbin/policy-rc.d >/dev/null
    $sudo chmod 755 /usr/sbin/policy-rc.d
    trap '$sudo rm -f /usr/sbin/policy-rc.d' EXIT
  fi
  # postfix's installation would ask how to set up the system's mail; the
  # tests run private instances, so the system's stays unconfigured.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
