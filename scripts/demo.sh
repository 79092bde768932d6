#!/usr/bin/env bash
# The demo: builds the Windows installer of the demo payload
# (launcher/demo/payload plus our own setup.exe) and runs it under Wine -
# on a private Xvfb when there is no display - then tells what happened:
# what setup.exe saw, how long it took to get there, and where a
# screenshot of the splash window is.
#
#   bash scripts/demo.sh
#
# Reuses build/host and build/win when they exist (scripts/test.sh makes
# them; KELVO_DEMO_HOST_BUILD and KELVO_DEMO_WIN_BUILD name others) and
# builds only what the demo needs. To package a payload of
# your own, configure the Windows build with -DKELVO_PAYLOAD_DIR=/folder
# (the folder must hold a setup.exe) and build the kelvo-installer target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out="$root/build/demo"

echo "== Installing what the demo needs (Debian packages)"
bash scripts/setup-debian.sh

. scripts/wine-env.sh
host_build="${KELVO_DEMO_HOST_BUILD:-$root/build/host}"
win_build="${KELVO_DEMO_WIN_BUILD:-$root/build/win}"
# cross_build DIR PRESET: the installer and the bare stub, which the
# rest of the demo then uses (win_build, installer, stub).
cross_build() {
  cmake --preset "$2" -B "$1" -DKELVO_HOST_BUILD_DIR="$host_build" >/dev/null
  cmake --build "$1" -j2 --target kelvo-installer kelvo-stub >/dev/null
  win_build="$1"
  installer="$1/launcher/kelvo-installer.exe"
  stub="$1/launcher/kelvo-stub.exe"
}

echo "== Building kelvo (host), which makes the installer (32-bit Windows)"
if [ ! -f "$host_build/build.ninja" ]; then
  cmake --preset host -B "$host_build" -DKELVO_WIN_BUILD_DIR="$win_build" >/dev/null
fi
cmake --build "$host_build" -j2 --target kelvo >/dev/null
cross_build "$win_build" win
wine_arch="$(wine_build_arch || true)"
if [ "$wine_arch" = x86_64 ]; then
  # The same sources built for 64-bit Windows show the same window.
  echo
  echo "NOTE: $(wine_cannot_run)."
  echo "      $installer is built ($(stat -c %s "$installer") bytes) but cannot be run here;"
  echo "      the demo runs the 64-bit build of the same installer under 64-bit Wine."
  echo "== Building the installer (64-bit Windows)"
  cross_build "${KELVO_DEMO_WIN64_BUILD:-$root/build/win64}" win64
fi

pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  wine_env_cleanup
}
trap cleanup EXIT
if [ -z "$wine_arch" ]; then
  # Nothing here can show the Windows installer. Rather than stop with
  # nothing, run the same payload through the native build of the
  # installer (same engine, same worker; no window), and say so plainly.
  echo
  echo "NOTE: $(wine_cannot_run)."
  echo "      $installer is built ($(stat -c %s "$installer") bytes) but cannot be run here."
  echo "== Running the native build of the installer on the same payload instead"
  cmake --build "$host_build" -j2 --target kelvo kelvo-installer >/dev/null
  rm -rf "$out"
  mkdir -p "$out/payload" "$out/tmp"
  cp -r launcher/demo/payload/. "$out/payload/"
  # setup.exe for Linux: tells what it was given and where it ran.
  cat >"$out/payload/setup.exe" <<'SETUP'
#!/bin/sh
{
  echo "command-line=$*"
  echo "folder=$(pwd)"
  for f in *; do echo "file=$f"; done
} >"$KELVO_DEMO_REPORT"
SETUP
  # The native launcher as the stub: kelvo sfx appends the archive to it.
  "$host_build/tools/kelvo" -q sfx --stub "$host_build/launcher/kelvo-installer" "$out/installer" \
    "$out/payload/." >/dev/null
  report="$out/setup-report.txt"
  start=$(date +%s%N)
  rc=0
  TMPDIR="$out/tmp" KELVO_DEMO_REPORT="$report" timeout 120 "$out/installer" || rc=$?
  total_ms=$(( ($(date +%s%N) - start) / 1000000 ))
  echo
  echo "== What happened (native build)"
  if [ -s "$report" ]; then
    echo "setup.exe reported:"
    sed 's/^/    /' "$report"
  else
    echo "setup.exe did not run"
  fi
  echo "installer ended:    after ${total_ms} ms with exit code $rc"
  # Each run unpacks into a fresh private folder kelvo-<random>\kelvo08.tmp.
  left=$(find "$out/tmp" -mindepth 1 -maxdepth 1 -name 'kelvo-*' | head -1)
  if [ -n "$left" ]; then
    echo "scratch folder:     still there ($left)"
  else
    echo "scratch folder:     removed again, with everything in it"
  fi
  [ "$rc" -eq 0 ] && [ -s "$report" ]
  exit
fi

wine_for "$installer"
echo "== Preparing Wine ($WINEARCH prefix) and a display"
if [ "$WINEARCH" = win32 ]; then
  wine_env_init "${WINEPREFIX:-$root/build/wineprefix}"
else
  wine_env_init "${WINEPREFIX:-$root/build/wineprefix-win64}"
fi
x_display_start 1024 768
wine_fresh_session
# Each run unpacks into a fresh private folder kelvo-<random>\kelvo08.tmp
# under Wine's temporary folder.
temp_dir="$(wine_temp_dir)"
rm -rf "$out" "$temp_dir"/kelvo-*
mkdir -p "$out"

echo "== Running the installer"
report="$out/setup-report.txt"
start=$(date +%s%N)
KELVO_SETUP_REPORT="$(wine_path "$out")\\setup-report.txt" timeout -k 5 300 "$KELVO_WINE" "$installer" \
  >"$out/wine.log" 2>&1 &
pid=$!
shot="" window_ms=""
while kill -0 "$pid" 2>/dev/null && [ ! -s "$report" ]; do
  if [ -z "$shot" ]; then
    w=$(xdotool search --onlyvisible --name '^Initializing\.\.\.$' 2>/dev/null | head -1 || true)
    if [ -n "$w" ]; then
      window_ms=$(( ($(date +%s%N) - start) / 1000000 ))
      sleep 0.1  # its first paint
      eval "$(xdotool getwindowgeometry --shell "$w")"
      import -window root "$out/screen.png" 2>/dev/null || true
      import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/splash.png" 2>/dev/null &&
        shot="$out/splash.png"
    fi
  fi
  sleep 0.02
done
setup_ms=$(( ($(date +%s%N) - start) / 1000000 ))
rc=0
wait "$pid" || rc=$?
pid=""
total_ms=$(( ($(date +%s%N) - start) / 1000000 ))

echo
echo "== What happened"
# The payload's sizes: the totals line of the installer's listing.
read -r payload_bytes packed_bytes _ < <("$host_build/tools/kelvo" l "$installer" | tail -1)
printf 'installer:          %s (%d bytes; the stub alone %d bytes; payload %d bytes packed to %d)\n' \
  "$installer" "$(stat -c %s "$installer")" "$(stat -c %s "$stub")" "$payload_bytes" "$packed_bytes"
[ -n "$window_ms" ] && echo "splash window:      up after ${window_ms} ms"
if [ -s "$report" ]; then
  echo "setup.exe started:  after ${setup_ms} ms (from starting the installer under Wine)"
  echo "setup.exe reported:"
  tr -d '\r' <"$report" | sed 's/^/    /'
else
  echo "setup.exe did not run"
fi
echo "installer ended:    after ${total_ms} ms with exit code $rc"
left=$(find "$temp_dir" -mindepth 1 -maxdepth 1 -name 'kelvo-*' 2>/dev/null | head -1)
if [ -n "$left" ]; then
  echo "scratch folder:     still there ($left)"
else
  echo "scratch folder:     removed again, with everything in it"
fi
if [ -n "$shot" ]; then
  echo "screenshot:         $shot (the splash window), $out/screen.png (the whole screen)"
else
  echo "screenshot:         none (the window came and went between two looks)"
fi
