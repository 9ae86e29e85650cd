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
