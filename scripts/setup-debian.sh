#!/bin/sh
# Installs everything the project needs on Debian 12 (x86-64), as root.
# Idempotent: packages already present are left alone.
set -eu

packages="cmake g++ make ninja-build libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth
  clang libclang-rt-14-dev clang-format osslsigncode openssl"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # A mirror caught in the middle of a sync can fail one index while the
  # others load: try again a little later, then go on, since the install
  # fails by itself if what it needs is not to be found.
  tries=1
  until apt-get update -qq; do
    if [ "$tries" -ge 3 ]; then
      echo "setup-debian: apt-get update kept failing; installing from the indexes it got" >&2
      break
    fi
    tries=$((tries + 1))
    sleep 15
  done
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
