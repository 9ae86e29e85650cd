#!/bin/bash
# The installed project as its users meet it. Installs a host build and a
# Windows build into temporary prefixes and checks that each holds exactly
# the files it should; builds examples/installer against the installed
# Windows package, with the installed host kvarc making its Setup.exe, runs
# that Setup.exe under Wine and checks that the installer it started read its
# data through the component; checks that the setup target is made again
# when a data file changes and not otherwise; and builds examples/extract
# against the installed host package, runs it, and has it make a Setup.exe
# with the launcher the installed kvarc carries.
#
# usage: check-install.sh HOST_BUILD_DIR WINDOWS_BUILD_DIR
#   Both built. The Windows build is the win32 preset's, or the win64 one
#   where 32-bit Wine cannot run (scripts/wine-env.sh chooses); the example
#   is cross-built with that build's toolchain file.
#   WINE       the Wine loader to run programs with (default: wine)
#   WINESERVER the matching wineserver (default: wineserver)
#   KV_INSTALL_NO_RUN=1  build and pack the Windows example, but do not run
#              it (the i686 build on a host without 32-bit execution)
# The examples are built with Makefiles and, where Ninja is installed, the
# host one with Ninja: both generators read kvarc's depfile.
set -u
[ $# -eq 2 ] || { echo "usage: $0 HOST_BUILD_DIR WINDOWS_BUILD_DIR" >&2; exit 2; }
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
HOSTBUILD=$(cd "$1" && pwd)
WINBUILD=$(cd "$2" && pwd)
WINE=${WINE:-wine}
WINESERVER=${WINESERVER:-wineserver}
TOOLCHAIN=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$WINBUILD/CMakeCache.txt")

# The Wine prefix of the end-to-end tests, inside the build tree.
export WINEPREFIX=$WINBUILD/wineprefix
export LC_ALL=C.UTF-8
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

WORK=$WINBUILD/install-check
rm -rf "$WORK"
mkdir -p "$WORK"
HOST=$WORK/host-prefix
WIN=$WORK/windows-prefix
KVARC=$HOST/bin/kvarc
passed=0
failed=0

ok() {
  passed=$((passed + 1))
  echo "ok - $1"
}
not_ok() {
  failed=$((failed + 1))
  echo "not ok - $1: $2"
}
# Runs a command quietly, keeping what it said in $WORK/log.
quietly() { "$@" >"$WORK/log" 2>&1; }
# A file's modification time, to the nanosecond.
mtime() { stat -c %y "$1" 2>/dev/null; }

# --- the installed trees ------------------------------------------------------
# Every file of a prefix, relative to it, the build type taken out of the
# name of the exported targets' per-configuration file.
installed() {
  (cd "$1" && find . -type f -o -type l) | sed 's|^\./||; s/ZerkTargets-[a-z]*\.cmake/ZerkTargets-CONFIG.cmake/' | sort
}
expected() {
  printf '%s\n' "$@" \
    include/zerk/archive/dozirivovaze.h include/zerk/archive/events.h \
    include/zerk/archive/records.h include/zerk/archive/rorodovazezudovo.h \
    include/zerk/core/component.h include/zerk/core/event.h include/zerk/core/exceptions.h \
    include/zerk/core/stream.h include/zerk/pump/failures.h include/zerk/pump/progress.h \
    lib/libdozirivovaze.a lib/libkvbytepump.a lib/libkvcodecs.a lib/libkvcore.a \
    lib/cmake/Zerk/KvarcAddSetup.cmake lib/cmake/Zerk/ZerkConfig.cmake \
    lib/cmake/Zerk/ZerkConfigVersion.cmake lib/cmake/Zerk/ZerkTargets.cmake \
    lib/cmake/Zerk/ZerkTargets-CONFIG.cmake share/doc/zerk/README.md
  [ -f "$SOURCE/LICENSE" ] && echo share/doc/zerk/LICENSE
  [ -f "$SOURCE/doc/kvarc.1" ] && echo share/man/man1/kvarc.1
}
check_tree() { # check_tree WHAT BUILD PREFIX EXPECTED-FILE...
  local what=$1 build=$2 prefix=$3
  shift 3
  if ! quietly cmake --install "$build" --prefix "$prefix"; then
    not_ok "$what" "cmake --install failed: $(tail -3 "$WORK/log")"
  elif ! diff <(expected "$@" | sort) <(installed "$prefix") >"$WORK/tree.diff"; then
    not_ok "$what" "other files than expected (< missing, > extra): $(tr '\n' ' ' <"$WORK/tree.diff")"
  else
    ok "$what"
  fi
}
check_tree "the host install holds exactly kvarc, the component, its headers, package and documents" \
  "$HOSTBUILD" "$HOST" bin/kvarc
check_tree "the Windows install holds exactly kvarc.exe, Setup.exe, the component, its headers, package and documents" \
  "$WINBUILD" "$WIN" bin/kvarc.exe share/zerk/Setup.exe
if cmp -s "$WIN/share/zerk/Setup.exe" "$WINBUILD/launcher/Setup.exe" &&
  [ "$("$KVARC" --version)" = "$("$HOSTBUILD/tools/kvarc" --version)" ]; then
  ok "the installed Setup.exe is the build's unstamped launcher, the installed kvarc runs"
else
  not_ok "installed programs" "Setup.exe differs, or kvarc --version: $("$KVARC" --version 2>&1)"
fi

# The examples are copied, so that the data can change without touching the
# source tree.
cp -r "$SOURCE/examples" "$WORK/examples"
DATA=$WORK/examples/installer/data

# --- examples/installer against the Windows package, Setup.exe under Wine -----
EXAMPLE=$WORK/installer-build
SETUP=$EXAMPLE/setup.exe
REPORT=$EXAMPLE/example-report.txt
if ! quietly cmake -S "$WORK/examples/installer" -B "$EXAMPLE" -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_PREFIX_PATH="$WIN" -DKVARC_EXECUTABLE="$KVARC"; then
  not_ok "examples/installer" "configuring against the Windows package failed: $(tail -5 "$WORK/log")"
elif ! quietly cmake --build "$EXAMPLE" || [ ! -f "$SETUP" ]; then
  not_ok "examples/installer" "the build made no setup.exe: $(tail -5 "$WORK/log")"
else
  ok "examples/installer builds against the Windows package; the host kvarc makes setup.exe"

  if [ "${KV_INSTALL_NO_RUN:-0}" = 1 ]; then
    # A host that cannot run this build's programs (i686 where 32-bit Wine
    # cannot run): built and packed, not run.
    echo "# setup.exe not run under Wine (KV_INSTALL_NO_RUN=1)"
  else
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1
      "$WINESERVER" -w
    fi
    rm -f "$WINEPREFIX/drive_c/windows/ZIVizivaz.exe" "$REPORT"
    "$WINE" "$SETUP" >/dev/null 2>&1
    rc=$?
    "$WINESERVER" -w
    { printf 'Data\\welcome.txt: %s bytes\n' "$(stat -c %s "$DATA/welcome.txt")"; cat "$DATA/welcome.txt"; } \
      >"$WORK/expected-report.txt"
    if [ $rc = 0 ] && cmp -s "$REPORT" "$WORK/expected-report.txt"; then
      ok "setup.exe under Wine starts the example installer, which reads Data\\welcome.txt from /DATA="
    else
      not_ok "setup.exe under Wine" "exit $rc, report: $(cat "$REPORT" 2>/dev/null || echo none)"
    fi
  fi

  # Built again: nothing to do. A file deep in the data folder changes:
  # setup.exe is made again and carries the new file.
  before=$(mtime "$SETUP")
  quietly cmake --build "$EXAMPLE"
  if [ "$(mtime "$SETUP")" = "$before" ] && ! grep -q 'kvarc setup' "$WORK/log"; then
    ok "a second build without changes leaves setup.exe alone"
  else
    not_ok "second build" "setup.exe was made again: $(cat "$WORK/log")"
  fi
  notes="$DATA/docs/release notes.txt"
  echo "A line added after the first build." >>"$notes"
  quietly cmake --build "$EXAMPLE"
  if [ "$(mtime "$SETUP")" != "$before" ] &&
    "$KVARC" extract "$SETUP" 'Data\docs\release notes.txt' "$WORK/notes.out" >/dev/null 2>&1 &&
    cmp -s "$WORK/notes.out" "$notes"; then
    ok "a changed file in a sub-folder of DATA makes setup.exe again, carrying it"
  else
    not_ok "rebuild after a data change" "$(cat "$WORK/log")"
  fi
fi

# --- examples/extract against the host package --------------------------------
HOSTEXAMPLE=$WORK/extract-build
generator="Unix Makefiles"
command -v ninja >/dev/null && generator=Ninja
installer_option=()
[ -f "$EXAMPLE/example_installer.exe" ] &&
  installer_option=(-DEXAMPLE_INSTALLER="$EXAMPLE/example_installer.exe")
if ! quietly cmake -S "$WORK/examples/extract" -B "$HOSTEXAMPLE" -G "$generator" \
  -DCMAKE_PREFIX_PATH="$HOST" "${installer_option[@]}" ||
  ! quietly cmake --build "$HOSTEXAMPLE"; then
  not_ok "examples/extract" "building against the host package failed: $(tail -5 "$WORK/log")"
else
  "$KVARC" -q create "$WORK/data.zerk" "Data=$DATA"
  if "$HOSTEXAMPLE/example_extract" "$WORK/data.zerk" 'Data\welcome.txt' "$WORK/welcome.out" >/dev/null &&
    cmp -s "$WORK/welcome.out" "$DATA/welcome.txt"; then
    ok "examples/extract ($generator) extracts an entry through the installed component"
  else
    not_ok "examples/extract" "the entry did not come back"
  fi
  "$HOSTEXAMPLE/example_extract" "$WORK/none.zerk" 'Data\welcome.txt' "$WORK/none.out" 2>"$WORK/log"
  rc=$?
  if [ $rc = 1 ] && [ "$(cat "$WORK/log")" = "example_extract: EFOpenError: Cannot open file $WORK/none.zerk" ]; then
    ok "a failure reaches examples/extract as the component's named exception"
  else
    not_ok "examples/extract failure" "exit $rc: $(cat "$WORK/log")"
  fi

  # The host package's kvarc_add_setup: Zerk::kvarc with the launcher it
  # carries, an installer given as a file.
  HOSTSETUP=$HOSTEXAMPLE/setup.exe
  if [ ${#installer_option[@]} = 0 ]; then
    not_ok "kvarc_add_setup in the host package" "no example installer was built"
  elif ! "$KVARC" -q test "$HOSTSETUP" ||
    ! "$KVARC" extract "$HOSTSETUP" 'Installer\ZIVizivaz.exe' "$WORK/installer.out" >/dev/null 2>&1 ||
    ! cmp -s "$WORK/installer.out" "$EXAMPLE/example_installer.exe"; then
    not_ok "kvarc_add_setup in the host package" "setup.exe is missing or does not carry the installer"
  else
    before=$(mtime "$HOSTSETUP")
    quietly cmake --build "$HOSTEXAMPLE"
    unchanged=$(mtime "$HOSTSETUP")
    touch "$DATA/welcome.txt"
    quietly cmake --build "$HOSTEXAMPLE"
    if [ "$unchanged" = "$before" ] && [ "$(mtime "$HOSTSETUP")" != "$before" ]; then
      ok "kvarc_add_setup in the host package ($generator): made by Zerk::kvarc, again only when a data file changes"
    else
      not_ok "kvarc_add_setup in the host package ($generator)" "rebuilds: $before, $unchanged, $(mtime "$HOSTSETUP")"
    fi
  fi
fi

echo "install: $passed passed, $failed failed"
[ $failed = 0 ]
