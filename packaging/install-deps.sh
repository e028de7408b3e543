#!/bin/sh
# Installs the Debian packages the build and the tests need, only those missing.
# Usage: install-deps.sh [fuzz]
set -e
pkgs="cmake ninja-build g++ pkg-config libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev python3-aiosmtpd"
[ "$1" = fuzz ] && pkgs="clang libclang-rt-14-dev"

missing=""
for p in $pkgs; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO=sudo; else
    echo "These packages are missing and installing them needs root:$missing" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
${SUDO:-} apt-get update -q
${SUDO:-} apt-get install -y -q --no-install-recommends $missing
