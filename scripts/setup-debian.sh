#!/bin/sh
# Installs everything the project needs on Debian 12 (x86-64), as root.
# Idempotent: packages already present are left alone.
set -eu
. "$(dirname "$0")/apt-common.sh"

packages="cmake g++ make ninja-build libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth
  clang libclang-rt-14-dev clang-format osslsigncode openssl"

# shellcheck disable=SC2086
missing=$(apt_missing $packages)

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update setup-debian
  # shellcheck disable=SC2086
  if ! apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
    # 32-bit Wine needs the i386 packages at the very versions of their
    # x86-64 twins; without a current i386 index it cannot be installed.
    # The rest still is, and the tests then run the 64-bit build of the same
    # sources under Wine64 (scripts/wine-env.sh).
    case " $missing " in *" wine32:i386 "*) ;; *) exit 1 ;; esac
    echo "setup-debian: 32-bit Wine could not be installed; installing the rest," \
      "and the end-to-end tests will run the 64-bit Setup.exe under Wine64" >&2
    # shellcheck disable=SC2046
    apt-get install -y -qq --no-install-recommends \
      $(printf '%s\n' $missing | grep -vx 'wine32:i386') >/dev/null
  fi
fi
