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
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
