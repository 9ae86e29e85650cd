#!/bin/bash
# Checks that the manual page and kvarc's --help have not drifted apart:
# every command that `kvarc --help` lists has its own subsection of
# COMMANDS (".Ss NAME") and is in the SYNOPSIS, and every option that
# `kvarc --help` and `kvarc COMMAND --help` print in their "Options:"
# sections heads a list item (".It") of the page: a command's options in
# that command's subsection, the options before any command in OPTIONS (an
# option every command prints, such as --help, may stand there alone).
# Then, where mandoc is installed, lints the page.
#
#   check-man.sh [--no-lint] KVARC PAGE
#
# Options are matched as the page spells them in either macro set: mdoc's
# "Fl -long" and "Fl x" and man's "\-\-long" and "\-x" all stand for
# --long and -x. Prints every miss and exits 1 when there is one.
set -uo pipefail
lint=1
if [ "${1:-}" = --no-lint ]; then
  lint=0
  shift
fi
if [ $# -ne 2 ]; then
  echo "usage: check-man.sh [--no-lint] KVARC PAGE" >&2
  exit 2
fi
kvarc=$1
page=$2
problems=0
miss() {
  echo "$(basename "$page"): $*"
  problems=$((problems + 1))
}

# help_section TEXT NAME: the lines of section NAME ("Options",
# "Subcommands"; any case, as CLI11 versions differ) of CLI11's help TEXT.
help_section() {
  printf '%s\n' "$1" | awk -v want="$(tr '[:upper:]' '[:lower:]' <<<"$2:")" '
    /^[^ ]/ { in_section = (tolower($0) == want); next }
    in_section && /^  [^ ]/'
}
# options LINES: the options that head the help's option lines, one per
# line: "-m,--method TEXT=LH5 ..." and "-m,  --method ..." give -m and
# --method; the words after them (type, default, text) are not read.
options() {
  printf '%s\n' "$1" | awk '{
    for (i = 1; i <= NF && $i ~ /^--?[A-Za-z0-9][^ ]*,?$/; i++) {
      n = split($i, parts, ",")
      for (j = 1; j <= n; j++) if (parts[j] != "") print parts[j]
    }
  }'
}

# The page as "SCOPE<TAB>OPTION" lines, one per option that heads a list
# item: SCOPE is "options" in OPTIONS, the subsection's first word in
# COMMANDS, "-" elsewhere. And "command<TAB>NAME" for each subsection of
# COMMANDS, "synopsis<TAB>NAME" for each Cm of the SYNOPSIS.
page_index() {
  awk '
    function is_macro(w) { return w ~ /^[A-Z][a-z][a-z]?$/ }
    /^\.Sh / { section = substr($0, 5); scope = (section == "OPTIONS") ? "options" : "-"; next }
    /^\.SH / { section = substr($0, 5); gsub(/"/, "", section); scope = (section == "OPTIONS") ? "options" : "-"; next }
    /^\.S[sS] / && section == "COMMANDS" {
      name = $2; if (name == "Cm" || name == "B") name = $3; gsub(/"/, "", name)
      scope = name; print "command\t" name; next
    }
    section == "SYNOPSIS" && /^\.Cm / { print "synopsis\t" $2 }
    # An option list item: mdoc ".It Fl ...", or man ".TP" followed by its tag line.
    /^\.It / || tag_next {
      line = $0; tag_next = 0
      gsub(/\\-/, "-", line); gsub(/\\f[BIRP]/, "", line)
      n = split(line, w, /[ \t]+/)
      flag = 0
      for (i = 1; i <= n; i++) {
        word = w[i]
        if (word == "Fl") { flag = 1; continue }
        if (is_macro(word) || word == ",") { flag = 0; continue }
        if (flag) word = "-" word
        sub(/[,.;:]+$/, "", word)
        if (word ~ /^--?[A-Za-z0-9]/) print scope "\t" word
      }
      next
    }
    /^\.TP/ { tag_next = 1 }
  ' "$1"
}

help=$("$kvarc" --help) || { echo "kvarc --help failed" >&2; exit 1; }
declare -A index=()
while IFS= read -r entry; do index[$entry]=1; done < <(page_index "$page")
has() { [ -n "${index[$1$'\t'$2]:-}" ]; }

global_options=$(options "$(help_section "$help" Options)")
commands=$(help_section "$help" Subcommands | awk '{ print $1 }')
# A help text in a shape this script no longer reads must not pass as
# "nothing to check".
if [ -z "$global_options" ] || [ -z "$commands" ]; then
  echo "kvarc --help lists no options or no commands: has its layout changed?" >&2
  exit 1
fi

checked=0
for option in $global_options; do
  has options "$option" || miss "no item for $option in OPTIONS"
  checked=$((checked + 1))
done
for command in $commands; do
  has command "$command" || miss "no subsection '.Ss $command' in COMMANDS"
  has synopsis "$command" || miss "'$command' is not in the SYNOPSIS"
  command_help=$("$kvarc" "$command" --help) || { miss "kvarc $command --help failed"; continue; }
  command_options=$(options "$(help_section "$command_help" Options)")
  [ -n "$command_options" ] || miss "kvarc $command --help lists no options"
  for option in $command_options; do
    checked=$((checked + 1))
    has "$command" "$option" && continue
    # Every command's --help is described once, among the options before any command.
    [[ $'\n'$global_options$'\n' == *$'\n'$option$'\n'* ]] && has options "$option" && continue
    miss "no item for $option of '$command' in its subsection"
  done
done

if [ "$lint" = 1 ]; then
  if command -v mandoc >/dev/null; then
    # What mandoc says about the machine's own manuals (which pages a
    # SEE ALSO finds, the state of its database) is not about this page.
    findings=$(mandoc -T lint "$page" 2>&1 |
      grep -v -e 'outdated mandoc.db' -e 'referenced manual not found')
    if [ -n "$findings" ]; then
      printf '%s\n' "$findings"
      miss "mandoc -T lint is not clean"
    fi
  else
    echo "mandoc is not installed: the page was not linted (scripts/setup-debian.sh installs it)"
  fi
fi

if [ "$problems" -gt 0 ]; then
  echo "$(basename "$page"): $problems problems"
  exit 1
fi
echo "$(basename "$page"): all $(printf '%s\n' "$commands" | wc -l) commands and $checked options of --help described"
