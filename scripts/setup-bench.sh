#!/bin/sh
# Installs the peer tools that the comparison scripts in scripts/ run beside
# this project (Debian 12, as root), and GNU time, which bench-compress.sh
# reads peak memory from. Not needed to build or test.
set -eu
. "$(dirname "$0")/apt-common.sh"
# shellcheck disable=SC2086
missing=$(apt_missing lhasa jlha-utils 7zip libarchive-tools valgrind time gzip)
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt_update setup-bench
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
