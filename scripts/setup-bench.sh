#!/bin/sh
# Installs the peer tools that the comparison scripts in scripts/ run beside
# this project (Debian 12, as root), and GNU time, which bench-compress.sh
# reads peak memory from. Not needed to build or test.
set -eu
packages="lhasa jlha-utils 7zip libarchive-tools valgrind time gzip"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught in the middle of a sync can fail one index while the
  # others load: try again a little later, then go on, since the install
  # fails by itself if what it needs is not to be found.
  tries=1
  until apt-get update -qq; do
    if [ "$tries" -ge 3 ]; then
      echo "setup-bench: apt-get update kept failing; installing from the indexes it got" >&2
      break
    fi
    tries=$((tries + 1))
    sleep 15
  done
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
