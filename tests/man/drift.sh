#!/bin/bash
# The drift check must fail when the page and --help part ways: each case
# edits a copy of the page with sed and says what check-man.sh must then
# report (a line it prints, and exit 1), or "ok" where the edited page is
# still a faithful one (the same options in man(7) spelling).
#
#   drift.sh KVARC PAGE
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kvarc=$1
page=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# The sed scripts are sed's, not the shell's: nothing in them expands.
# shellcheck disable=SC2016
cases=(
  # sed script | what check-man.sh must print ("ok": exit 0)
  '/^\.It Fl -allow-x64$/d|no item for --allow-x64 of '\''setup'\'' in its subsection'
  '/^\.It Fl -allow-x64$/d|no item for --allow-x64 of '\''stamp'\'' in its subsection'
  's/^\.It Fl q , Fl -quiet$/.It Fl -quiet/|no item for -q in OPTIONS'
  's/^\.It Fl -version$/.It Fl -versions/|no item for --version in OPTIONS'
  's/^\.Ss import$/.Ss imports/|no subsection '\''.Ss import'\'' in COMMANDS'
  '/^\.Cm list$/d|'\''list'\'' is not in the SYNOPSIS'
  # An option described under another command does not count for this one.
  '/^\.Ss extract$/,/^\.Ss stamp$/s/^\.It Fl o Ar DIR.*/.It Ar DIR/|no item for --output of '\''extract'\'' in its subsection'
  # Options named in running text are no description.
  '/^\.Ss import$/,$s/^\.It Fl f , Fl -force$/Use Fl f , Fl -force ./|no item for -f of '\''import'\'' in its subsection'
  # man(7) spelling of the same items.
  's/^\.It Fl f , Fl -force$/.TP\n\\fB\\-f\\fR, \\fB\\-\\-force\\fR/|ok'
)

failures=0
for c in "${cases[@]}"; do
  script=${c%%|*}
  want=${c#*|}
  sed -e "$script" "$page" >"$T/page.1"
  if cmp -s "$T/page.1" "$page"; then
    echo "FAIL: '$script' changes nothing in the page"
    failures=$((failures + 1))
    continue
  fi
  "$here/check-man.sh" --no-lint "$kvarc" "$T/page.1" >"$T/out" 2>&1
  code=$?
  if [ "$want" = ok ]; then
    [ "$code" = 0 ] && continue
  elif [ "$code" = 1 ] && grep -qxF "page.1: $want" "$T/out"; then
    continue
  fi
  echo "FAIL: '$script': wanted '$want', got exit $code:"
  sed 's/^/  | /' "$T/out"
  failures=$((failures + 1))
done
if [ "$failures" -gt 0 ]; then
  echo "$failures of ${#cases[@]} drift cases failed"
  exit 1
fi
echo "all ${#cases[@]} drift cases caught"
