#!/bin/sh
# Installs everything the project needs on Debian 12 (x86-64), as root.
# Idempotent: packages already present are left alone. Says in one line how
# 32-bit Wine came to be installed, or that it could not be.
#
# KV_WINE32_FROM_POOL=1 takes 32-bit Wine the way used when the i386 index is
# out of step with the x86-64 one (scripts/wine32-from-pool.sh), even when
# the index would do: for trying that way out.
# Package lists are split into words on purpose:
# shellcheck disable=SC2086
set -eu
. "$(dirname "$0")/apt-common.sh"

packages="cmake g++ make ninja-build libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 xvfb xauth
  clang libclang-rt-14-dev clang-format osslsigncode openssl jq
  mandoc lintian dpkg-dev zip"

missing=$(apt_missing $packages)
wine32_way="32-bit Wine: already installed"

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_update setup-debian
  case " $missing " in
    *" wine32:i386 "*)
      wine32_way="32-bit Wine: installed from the i386 index"
      rest=$(printf '%s\n' $missing | grep -vx 'wine32:i386' | tr '\n' ' ')
      ;;
    *) rest=$missing ;;
  esac
  if [ "$rest" != "$missing" ] && [ "${KV_WINE32_FROM_POOL:-0}" = 1 ]; then
    install_ok=0
  elif apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
    install_ok=1
  else
    # 32-bit Wine needs the i386 packages at the very versions of their
    # x86-64 twins; an i386 index out of step with the x86-64 one (a mirror
    # in the middle of a sync) cannot give them. Anything else is fatal.
    [ "$rest" != "$missing" ] || exit 1
    install_ok=0
  fi
  if [ "$install_ok" = 0 ]; then
    apt-get install -y -qq --no-install-recommends $rest >/dev/null
    pool=$(mktemp -d /tmp/kv-wine32.XXXXXX)
    if "$(dirname "$0")/wine32-from-pool.sh" "$pool" >"$pool.log" 2>&1; then
      wine32_way="32-bit Wine: installed from the mirror's pool at the x86-64 versions, not from the i386 index ($(sed -n 's/^wine32-from-pool: \([0-9]* i386 packages.*\)/\1/p' "$pool.log"))"
    else
      tail -n 20 "$pool.log" >&2
      wine32_way="32-bit Wine: NOT INSTALLED (neither the i386 index nor the pool way worked, see $pool.log); the end-to-end tests will run the 64-bit Setup.exe under Wine64, not the shipped i686 one"
    fi
    rm -rf "$pool"
  fi
fi
echo "setup-debian: $wine32_way"
