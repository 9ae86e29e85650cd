#!/bin/bash
# Installs 32-bit Wine (wine32:i386) without relying on the i386 package
# index, for when that index is out of step with the x86-64 one (a mirror in
# the middle of a sync): every i386 package it needs is taken at the version
# that the x86-64 side has installed, or else at the x86-64 index's version,
# from the mirror's pool, where the i386 file of a version lies beside the
# amd64 one. Called by scripts/setup-debian.sh once the x86-64 packages
# (wine, wine64, libwine) are installed; run as root.
#
# Usage: wine32-from-pool.sh [--plan] DIR
#   DIR     where the .deb files are downloaded
#   --plan  resolve and download only, as if no i386 package were installed
#           yet, and show apt's plan for installing them on this system as it
#           would be without any i386 package (nothing is installed)
# Each file is checked against the signed i386 index where it lists the same
# version; the count of files it does not list is reported.
set -euo pipefail
plan=0
if [ "${1:-}" = --plan ]; then plan=1; shift; fi
[ $# -eq 1 ] || { echo "usage: $0 [--plan] DIR" >&2; exit 2; }
dir=$1
mkdir -p "$dir"
# apt's downloads run as its own user, which must be able to write there.
if id _apt >/dev/null 2>&1; then chown _apt "$dir"; fi

say() { echo "wine32-from-pool: $*" >&2; }
die() { say "$*"; exit 1; }

# field NAME STANZA: the value of a control field.
field() { awk -v f="$1:" '$1 == f { sub(/^[^:]*: */, ""); print; exit }' <<<"$2"; }
# amd64_stanza NAME [VERSION]: the x86-64 index's stanza (candidate version
# unless one is given); empty when the index has no such package.
amd64_stanza() {
  if [ -n "${2:-}" ]; then
    apt-cache show --no-all-versions "$1:amd64=$2" 2>/dev/null || true
  else
    apt-cache show --no-all-versions "$1:amd64" 2>/dev/null || true
  fi
}
installed_version() { # installed_version NAME:ARCH
  dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null |
    awk '$1 == "install" && $3 == "installed" { print $4 }'
}
satisfies() { # satisfies VERSION OP VERSION (an empty OP: any version)
  [ -z "$2" ] || dpkg --compare-versions "$1" "$2" "$3"
}
# url_of NAME VERSION: the pool address of the i386 file, derived from the
# amd64 file of the same version as apt's configured mirror gives it.
url_of() {
  local uri
  uri=$(apt-get download --print-uris "$1:amd64=$2" 2>/dev/null | awk '{ print $1 }' | tr -d "'")
  [ -n "$uri" ] || return 1
  case $uri in *_amd64.deb) echo "${uri%_amd64.deb}_i386.deb" ;; *) return 1 ;; esac
}

declare -A done_i386=() done_native=()
native=()
debs=()
verified=0
unverified=0

fetch() { # fetch NAME VERSION URL
  local name=$1 version=$2 url=$3 file hash
  file="$dir/${name}_${version//:/%3a}_i386.deb"
  hash=$(field SHA256 "$(apt-cache show --no-all-versions "$name:i386=$version" 2>/dev/null || true)")
  if [ -n "$hash" ]; then
    /usr/lib/apt/apt-helper -qq download-file "$url" "$file" "SHA256:$hash" >/dev/null ||
      die "cannot download $url"
    verified=$((verified + 1))
  else
    # The i386 index does not list this version: no signed hash to check.
    /usr/lib/apt/apt-helper -qq download-file "$url" "$file" >/dev/null ||
      die "cannot download $url"
    unverified=$((unverified + 1))
  fi
  if [ "$(dpkg-deb -f "$file" Package)" != "$name" ] || [ "$(dpkg-deb -f "$file" Version)" != "$version" ] ||
    [ "$(dpkg-deb -f "$file" Architecture)" != i386 ]; then
    die "$url is not $name $version for i386"
  fi
  debs+=("$file")
  echo "$name $version"
  dependencies "$file"
}

# need_i386 NAME [OP VERSION]: NAME for i386, at the x86-64 side's version.
need_i386() {
  local name=$1 op=${2:-} want=${3:-} version url
  [ -z "${done_i386[$name]:-}" ] || return 0
  if [ "$plan" = 0 ] && version=$(installed_version "$name:i386") && [ -n "$version" ] &&
    satisfies "$version" "$op" "$want"; then
    done_i386[$name]=1
    return 0
  fi
  version=$(installed_version "$name:amd64")
  [ -n "$version" ] || version=$(field Version "$(amd64_stanza "$name")")
  [ -n "$version" ] || die "no x86-64 version of $name to follow"
  satisfies "$version" "$op" "$want" || die "$name $version does not satisfy $op $want"
  url=$(url_of "$name" "$version") || die "no pool address for $name $version"
  done_i386[$name]=1
  fetch "$name" "$version" "$url"
}

# dependencies DEB: takes up the Pre-Depends and Depends of a downloaded file.
dependencies() {
  local group alt name op want any stanza arch ma chosen
  while IFS= read -r group; do
    [ -n "$group" ] || continue
    chosen=
    IFS='|' read -r -a alts <<<"$group"
    for alt in "${alts[@]}"; do
      read -r name op want <<<"$(sed -E 's/[()]//g' <<<"$alt")"
      any=0
      case $name in *:any) any=1 ;; esac
      name=${name%%:*}
      stanza=$(amd64_stanza "$name")
      [ -n "$stanza" ] || continue # virtual, or not for x86-64: try the next
      arch=$(field Architecture "$stanza")
      ma=$(field Multi-Arch "$stanza")
      if [ "$arch" = all ] || [ "$ma" = foreign ] || { [ "$ma" = allowed ] && [ "$any" = 1 ]; }; then
        # The native package serves i386 too.
        if [ -z "${done_native[$name]:-}" ]; then
          done_native[$name]=1
          v=$(installed_version "$name")
          if [ -z "$v" ] || ! satisfies "$v" "$op" "$want"; then native+=("$name"); fi
        fi
      else
        need_i386 "$name" "$op" "$want"
      fi
      chosen=1
      break
    done
    [ -n "$chosen" ] || die "cannot resolve '$group' for i386"
  done < <({ dpkg-deb -f "$1" Pre-Depends; dpkg-deb -f "$1" Depends; } | tr ',' '\n' | sed -E 's/^ +//; s/ +$//')
}

# wine32 exists for i386 only: its file lies beside wine64's, of the same
# source and version.
wine_version=$(installed_version wine64:amd64)
[ -n "$wine_version" ] || die "wine64 is not installed"
wine64_url=$(apt-get download --print-uris "wine64:amd64=$wine_version" | awk '{ print $1 }' | tr -d "'")
[ -n "$wine64_url" ] || die "no pool address for wine64 $wine_version"
wine32_url=${wine64_url/\/wine64_/\/wine32_}
done_i386[wine32]=1
fetch wine32 "$wine_version" "${wine32_url%_amd64.deb}_i386.deb"

say "${#debs[@]} i386 packages at the x86-64 versions ($verified checked against the" \
  "i386 index, $unverified not listed there), ${#native[@]} native: ${native[*]:-none}"
if [ "$plan" = 1 ]; then
  # The plan on this system as it would be without any i386 package.
  awk 'BEGIN { RS = ""; ORS = "\n\n" } !/\nArchitecture: i386\n/' /var/lib/dpkg/status \
    >"$dir/status-without-i386"
  apt-get install -s --no-install-recommends -o Dir::State::status="$dir/status-without-i386" \
    "${native[@]}" "${debs[@]}"
else
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${native[@]}" "${debs[@]}" >/dev/null
fi
