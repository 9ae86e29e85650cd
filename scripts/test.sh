#!/bin/bash
# Builds everything and runs every test: the host suite (normal build and
# under AddressSanitizer + UndefinedBehaviorSanitizer), a bounded run of every
# fuzz target, the packages (made twice and compared), the Windows image
# checks, the end-to-end tests of Setup.exe under Wine, and the installed
# project with the examples built against it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "formatting (clang-format)"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "every source is formatted"

# Setup.exe first: the host build's kvarc carries it.
step "Setup.exe for 32-bit Windows"
cmake --preset win32 -DKV_WERROR=ON >/dev/null
cmake --build build/win32 -j"$jobs"
tests/wine/check-image.sh build/win32/launcher/Setup.exe i386

step "host build and tests"
cmake --preset host -DKV_WERROR=ON >/dev/null
cmake --build build/host -j"$jobs"
ctest --preset host -j"$jobs"

step "reproducible output (a second win32 build elsewhere; kvarc setup twice)"
KV_JOBS=$jobs tests/repro/check-repro.sh build/win32 build/host/tools/kvarc

step "packages (.deb and Windows zip), made twice and compared"
scripts/package.sh --no-build --check

step "host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset host-asan -DKV_WERROR=ON >/dev/null
cmake --build build/host-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset host-asan -j"$jobs"

# --- fuzzing: every libFuzzer target for a bounded time (about 4 minutes) ---
step "fuzz targets under AddressSanitizer and UndefinedBehaviorSanitizer"
./scripts/fuzz.sh "${KV_FUZZ_SECONDS:-25}"
# --- end of fuzzing ----------------------------------------------------------

source scripts/wine-env.sh
if [ "$KV_WINE_PRESET" != win32 ]; then
  step "the same sources for 64-bit Windows"
  cmake --preset "$KV_WINE_PRESET" -DKV_WERROR=ON >/dev/null
  cmake --build "build/$KV_WINE_PRESET" -j"$jobs"
  tests/wine/check-image.sh "build/$KV_WINE_PRESET/launcher/Setup.exe" x86-64
fi

step "end-to-end tests under Wine ($KV_WINE_PRESET build)"
echo "end-to-end tests run $KV_WINE_BUILD"
xvfb-run -a tests/wine/run-e2e.sh "build/$KV_WINE_PRESET" build/host/tools/kvarc

step "the installed project: the examples against the installed packages ($KV_WINE_PRESET build)"
xvfb-run -a tests/install/check-install.sh build/host "build/$KV_WINE_PRESET"
if [ "$KV_WINE_PRESET" != win32 ]; then
  step "the installed i686 package: the example built and packed (this host cannot run it)"
  KV_INSTALL_NO_RUN=1 tests/install/check-install.sh build/host build/win32
fi
