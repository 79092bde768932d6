#!/usr/bin/env bash
# The whole test suite from a fresh clone: set-up, host build, cross build
# for 32-bit Windows (its tests run under Wine; see below for machines that
# run no 32-bit code), then both CTest runs, fuzzing and the sanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup-debian.sh

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
. scripts/wine-env.sh
# The Windows programs run under Wine: the 32-bit build (the product) where
# the kernel runs 32-bit code, else the 64-bit build of the same sources
# under 64-bit Wine. The 32-bit build is made either way and must compile
# cleanly.
wine_arch="$(wine_build_arch || true)"
case "$wine_arch" in
  i686)
    wine_build=build/win
    KELVO_WINE=wine
    export WINEARCH=win32
    export WINEPREFIX="${KELVO_WINEPREFIX:-$root/build/wineprefix}"
    ;;
  x86_64)
    echo "NOTE: $(wine_cannot_run)."
    echo "      The 32-bit programs are built but not run; the Wine tests run the 64-bit build."
    wine_build=build/win64
    KELVO_WINE="$(wine64_loader)"
    export WINEARCH=win64
    export WINEPREFIX="${KELVO_WINEPREFIX:-$root/build/wineprefix}-win64"
    ;;
  *)
    echo "NOTE: $(wine_cannot_run): the Windows programs are built but not run."
    wine_build=build/win
    ;;
esac
if [ -n "$wine_arch" ]; then
  # A throwaway prefix, warmed once per run.
  wine_env_init "$WINEPREFIX" || echo "NOTE: the Wine prefix $WINEPREFIX could not be made"
fi

# The host build first: its kelvo sfx makes the installer, its archive
# generator the test installers' payloads.
# (The build trees are CMakePresets.json's: host, win, win64.)
cmake --preset host -DKELVO_WIN_BUILD_DIR="$root/$wine_build"
cmake --build --preset host -j "$jobs"
cmake --preset win
cmake --build --preset win -j "$jobs"
if [ "$wine_build" = build/win64 ]; then
  cmake --preset win64
  cmake --build --preset win64 -j "$jobs"
fi

status=0
(cd "$wine_build" && ctest --output-on-failure -j "$jobs") || status=1
(cd build/host && ctest --output-on-failure -j "$jobs") || status=1

# ---- hostile input: fuzzing, then the sanitizer build ----
# Every fuzz target for about a minute (a crash fails the run and leaves its
# input in tests/fuzz_regressions/), then the whole host suite under
# AddressSanitizer and UBSan in build/asan (no Wine there). The sanitizer
# run comes last, so the script still ends with a CTest summary.
bash scripts/fuzz.sh "${KELVO_FUZZ_SECONDS:-60}" || status=1
bash scripts/sanitize.sh build/asan || status=1
exit $status
