# Shared by scripts/setup-debian.sh and scripts/setup-bench.sh (sourced, not run).

# apt_missing PACKAGES...: prints those of PACKAGES that are not installed.
apt_missing() {
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || printf ' %s' "$p"
  done
}

# apt_update NAME: apt-get update. A mirror caught in the middle of a sync
# can fail one index while the others load: try again a little later, then
# go on, since the install fails by itself if what it needs is not there.
apt_update() {
  tries=1
  until apt-get update -qq; do
    if [ "$tries" -ge 3 ]; then
      echo "$1: apt-get update kept failing; installing from the indexes it got" >&2
      return 0
    fi
    tries=$((tries + 1))
    sleep 15
  done
}
