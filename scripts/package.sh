#!/bin/bash
# Makes the release files in dist/: zerk_VERSION_amd64.deb (Debian 12: the
# host install of build/host under /usr), zerk-VERSION-win32.zip (the
# install of build/win32 under one folder, zerk-VERSION-win32/) and
# SHA256SUMS. VERSION is project()'s, as the build recorded it.
#
#   scripts/package.sh [--no-build] [--check]
#
# Without --no-build it first installs what it needs (scripts/setup-debian.sh)
# and builds the win32 and host presets, so that it works from a clean
# clone; with it, it packs the builds already there (CI, after the tests).
# --check makes everything a second time, in another folder, and compares
# the files byte by byte.
#
# The files are reproducible: a second run from the same commit gives the
# same bytes. Every time in them is the last commit's (SOURCE_DATE_EPOCH),
# files go in in name order with normalised owners and permissions, and no
# path of the build machine is in them (the build maps its folders away;
# this script refuses a tree that still names them).
#
# Before it writes dist/, every package is checked: the files each must
# carry, no build path, and for the .deb lintian without errors.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=1
check=0
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    --check) check=1 ;;
    *)
      echo "usage: scripts/package.sh [--no-build] [--check]" >&2
      exit 2
      ;;
  esac
done

fail() {
  echo "package: $*" >&2
  exit 1
}

if [ "$build" = 1 ]; then
  ./scripts/setup-debian.sh
  jobs=$(nproc)
  # Only what is installed (the programs, the component and the layers it
  # links), not the tests and benchmarks. Setup.exe first: the host
  # build's kvarc carries it.
  cmake --preset win32 -DKV_WERROR=ON >/dev/null
  cmake --build build/win32 -j"$jobs" --target Setup kvarc dozirivovaze
  cmake --preset host -DKV_WERROR=ON >/dev/null
  cmake --build build/host -j"$jobs" --target kvarc dozirivovaze
fi
for tool in dpkg-deb dpkg-shlibdeps lintian zip gzip strip; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup-debian.sh installs it)"
done
for preset in host win32; do
  [ -f "build/$preset/CMakeCache.txt" ] || fail "build/$preset is not configured (run without --no-build)"
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/host/CMakeCache.txt)
[ -n "$version" ] || fail "build/host/CMakeCache.txt holds no CMAKE_PROJECT_VERSION"
win_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
[ "$win_version" = "$version" ] || fail "build/win32 is version '$win_version', build/host $version: build both again"

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C.UTF-8
umask 022

deb_name=zerk_${version}_amd64.deb
zip_name=zerk-${version}-win32.zip
maintainer=${KV_MAINTAINER:-The Zerk developers <zerk@example.org>}

# normalise TREE: owners are set when packing; here every permission
# becomes 755 or 644 and every time the commit's.
normalise() {
  find "$1" -type d -exec chmod 755 {} +
  find "$1" -type f -perm /111 -exec chmod 755 {} +
  find "$1" -type f ! -perm /111 -exec chmod 644 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# no_build_paths TREE WHAT: refuses a file that names the source or build
# folder or the staging folder.
no_build_paths() {
  local found
  found=$(grep -rlF --binary-files=text -e "$root" -e "$work" "$1" || true)
  [ -z "$found" ] || fail "$2 names a folder of this machine: ${found//$'\n'/, }"
}

# expect_files LISTING WHAT PATH...: each PATH (a pattern of grep -E over
# the listing's paths) must be in LISTING.
expect_files() {
  local listing=$1 what=$2
  shift 2
  for p in "$@"; do
    grep -qE "^$p\$" <<<"$listing" || fail "$what lacks $p"
  done
}

# make_deb OUT: the .deb from the host install, at OUT.
make_deb() {
  local src=$work/deb stage=$work/deb/debian/zerk
  rm -rf "$src"
  mkdir -p "$stage"
  cmake --install build/host --prefix "$stage/usr" >/dev/null
  local doc=$stage/usr/share/doc/zerk
  [ -x "$stage/usr/bin/kvarc" ] || fail "cmake --install build/host gave no bin/kvarc"

  # Debian's shape: stripped programs and libraries, gzipped manual pages
  # and changelog, the licence as a machine-readable copyright file (which
  # replaces LICENSE there). The version has no Debian revision: this is a
  # native package, whose changelog is changelog.gz (policy 12.7; lintian
  # warns of changelog.Debian.gz there).
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/kvarc"
  find "$stage/usr/lib" -name '*.a' -exec strip --strip-debug --enable-deterministic-archives \
    --remove-section=.comment --remove-section=.note {} +
  find "$stage/usr/share/man" -type f -name '*.[0-9]' -exec gzip -n -9 {} +
  mkdir -p "$doc"
  rm -f "$doc/LICENSE"
  {
    echo "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
    echo "Upstream-Name: zerk"
    echo
    echo "Files: *"
    echo "Copyright: 2026 The Zerk developers"
    echo "License: Expat"
    echo
    echo "License: Expat"
    # The licence text after its first four lines (title, copyright, blanks),
    # each line indented and blank lines as " .".
    tail -n +5 LICENSE | sed -e 's/^$/./' -e 's/^/ /'
  } >"$doc/copyright"
  {
    echo "zerk ($version) unstable; urgency=medium"
    echo
    echo "  * Release $version: kvarc, the Windows launcher and the archive component."
    echo
    echo " -- $maintainer  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -n -9 >"$doc/changelog.gz"

  # What kvarc links against, as the C++ runtime's packages. DEBIAN marks
  # the package's root for dpkg-shlibdeps.
  mkdir -p "$stage/DEBIAN"
  local depends
  depends=$(cd "$src" && printf 'Source: zerk\n\nPackage: zerk\nArchitecture: amd64\n' >debian/control &&
    dpkg-shlibdeps -O -e debian/zerk/usr/bin/kvarc 2>"$work/shlibdeps.err" |
    sed -n 's/^shlibs:Depends=//p')
  rm -f "$src/debian/control"
  # dpkg 1.21 warns that the binary is outside its package's folder even
  # when it is inside (its check looks at an unset name); other words stay.
  grep -v "should already be installed in their package's directory" "$work/shlibdeps.err" >&2 || true
  [ -n "$depends" ] || fail "dpkg-shlibdeps found no dependencies of kvarc"

  normalise "$stage"
  (cd "$stage" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$stage/DEBIAN/md5sums"
  cat >"$stage/DEBIAN/control" <<EOF
Package: zerk
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --apparent-size "$stage/usr" | cut -f1)
Depends: $depends
Section: devel
Priority: optional
Description: builder of self-extracting Setup.exe launchers for Windows
 kvarc packs an installer and its data into an archive and stamps the
 32-bit Windows launcher it carries with it: a Setup.exe that expands the
 installer and starts it. It also lists, tests and extracts archives and
 stamped launchers, and imports LHA archives.
 .
 The package also holds the archive component as a static library with
 its headers and a CMake package (find_package(Zerk)), whose
 kvarc_add_setup makes a Setup.exe as a target of a build.
EOF
  normalise "$stage/DEBIAN"
  no_build_paths "$stage" "the .deb's tree"
  dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$stage" "$1" >/dev/null

  expect_files "$(dpkg-deb -c "$1" | awk '{ print $6 }')" "$deb_name" \
    './usr/bin/kvarc' './usr/share/man/man1/kvarc\.1\.gz' './usr/share/doc/zerk/copyright' \
    './usr/share/doc/zerk/changelog\.gz' './usr/share/doc/zerk/README\.md' \
    './usr/include/zerk/archive/dozirivovaze\.h' './usr/lib/libdozirivovaze\.a' \
    './usr/lib/cmake/Zerk/.*[Cc]onfig\.cmake' './usr/lib/cmake/Zerk/.*[Cc]onfig-?[Vv]ersion\.cmake'
  # Errors fail; warnings are shown.
  lintian --fail-on error --tag-display-limit 0 "$1" || fail "lintian reports errors in $deb_name"
}

# make_zip OUT: the zip of the win32 install, under one top folder.
make_zip() {
  local top=zerk-${version}-win32
  local tree=$work/zip/$top
  rm -rf "$work/zip"
  mkdir -p "$tree"
  cmake --install build/win32 --prefix "$tree" >/dev/null
  normalise "$work/zip"
  no_build_paths "$tree" "the win32 install"
  # -X: no owners and no extended times; with TZ=UTC the DOS times are the
  # commit's wherever this runs.
  (cd "$work/zip" && find "$top" | LC_ALL=C sort | zip -X -9 -q -@ "$1")
  expect_files "$(cd "$work/zip" && find "$top" -type f)" "$zip_name" \
    "$top/bin/kvarc\.exe" "$top/share/zerk/Setup\.exe" "$top/include/zerk/archive/dozirivovaze\.h" \
    "$top/lib/libdozirivovaze\.a" "$top/lib/cmake/Zerk/.*[Cc]onfig\.cmake" \
    "$top/share/doc/zerk/README\.md" "$top/share/doc/zerk/LICENSE"
}

# make_all DIR: the three files in DIR.
make_all() {
  mkdir -p "$1"
  rm -f "$1/$deb_name" "$1/$zip_name" "$1/SHA256SUMS"
  make_deb "$1/$deb_name"
  make_zip "$1/$zip_name"
  (cd "$1" && sha256sum "$deb_name" "$zip_name" >SHA256SUMS)
  touch -d "@$SOURCE_DATE_EPOCH" "$1/$deb_name" "$1/$zip_name" "$1/SHA256SUMS"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/zerk-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

make_all "$work/dist"
if [ "$check" = 1 ]; then
  make_all "$work/again"
  for f in "$deb_name" "$zip_name" SHA256SUMS; do
    cmp "$work/dist/$f" "$work/again/$f" || fail "$f differs between two runs"
  done
  echo "package: a second run gave the same bytes"
fi
mkdir -p dist
for f in "$deb_name" "$zip_name" SHA256SUMS; do
  mv -f "$work/dist/$f" "dist/$f"
done
(cd dist && sha256sum -c --quiet SHA256SUMS)
echo "package: dist/$deb_name, dist/$zip_name, dist/SHA256SUMS (version $version, $(date -u -d "@$SOURCE_DATE_EPOCH" +%F))"
