#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, but only those that
# are missing: on a prepared machine this is a quick no-op.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libicu-dev uuid-dev pxlib-dev clang-format
  poppler-utils libreoffice-writer-nogui libreoffice-calc-nogui libemail-outlook-message-perl
  libemail-address-perl postgresql libpq-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null || true
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
