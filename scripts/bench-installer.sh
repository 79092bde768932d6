#!/usr/bin/env bash
# Times the whole run of an installer of the ~106 MB payload corpus under
# Wine, next to NSIS installers of the same payload and the plain write
# floor, all in the same run of this script:
#
#   scripts/bench-installer.sh [CORPUS_DIR] [--rounds N] [--tmpfs]
#
# CORPUS_DIR is the corpus (a folder holding payload/, or the payload folder
# itself); without it the corpus is made once in build/bench-corpus by
# /work/shared/bench/make-corpus.sh (or $KELVO_CORPUS_MAKER), or taken from
# $KELVO_CORPUS. Not part of the test suite: it takes minutes.
#
# The payload is the corpus plus the demo setup.exe at its top level. Peers,
# run in turn in every round, on one Wine prefix with its server kept up:
#   kelvo       kelvo sfx with the default packing options (or
#               $KELVO_SFX_OPTIONS): splash window, extraction into
#               %TEMP%\kelvo-<random>\kelvo08.tmp, setup.exe, clean-up
#   nsis-zlib   makensis, SetCompressor zlib, silent: File /r into
#               $TEMP\nsisbench.tmp, ExecWait setup.exe, RMDir /r
#   nsis-lzma   the same with SetCompressor /SOLID lzma
#   xcopy       wine cmd /c xcopy of the payload into the temporary folder,
#               then rmdir /s /q of the copy (the write floor)
# Times are from starting the Wine process: "window" when the splash
# window is first seen (kelvo only), "extracted" when its X window is gone
# again or setup.exe's report appears, whichever comes first (the installer
# hides it right before it starts setup.exe, but Wine unmaps it only after
# up to 2 s without a window manager; for the others the same as "setup"),
# "setup" when setup.exe's report file appears,
# "cleaned" when the extraction folder is gone, "exit" when the process ends.
# --tmpfs puts the prefix's temporary folder (where every peer writes) on
# /dev/shm: what is left without the disk and its file system.
# KELVO_BASELINE_STUB=PATH also runs, as peer "baseline" just before kelvo
# in every round, the same archive in that stub (an older build's
# kelvo-stub.exe, say): a before and after in the same minutes.
# Everything is polled about every 10 ms, so each figure is late by up to
# that much plus a look's own time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

corpus="" rounds=3 tmpfs=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --rounds=*) rounds=${1#*=}; shift ;;
    --tmpfs) tmpfs=1; shift ;;
    -h|--help) sed -n '2,36p' "$0"; exit 0 ;;
    *) corpus=$1; shift ;;
  esac
done
corpus=${corpus:-${KELVO_CORPUS:-}}
if [ -z "$corpus" ]; then
  corpus="$root/build/bench-corpus"
  if [ ! -d "$corpus/payload" ]; then
    maker=${KELVO_CORPUS_MAKER:-/work/shared/bench/make-corpus.sh}
    [ -f "$maker" ] || { echo "bench-installer.sh: give a corpus folder, or set KELVO_CORPUS_MAKER" >&2; exit 2; }
    bash "$maker" "$corpus" >&2
  fi
fi
[ -d "$corpus/payload" ] && corpus="$corpus/payload"
[ -d "$corpus" ] || { echo "bench-installer.sh: no folder $corpus" >&2; exit 2; }
corpus=$(cd "$corpus" && pwd)

command -v makensis >/dev/null || { echo "bench-installer.sh: makensis is missing (apt-get install nsis)" >&2; exit 2; }
for tool in xdotool Xvfb; do
  command -v $tool >/dev/null || { echo "bench-installer.sh: $tool is missing (scripts/setup-debian.sh)" >&2; exit 2; }
done

. scripts/wine-env.sh
arch=$(wine_build_arch) || { echo "bench-installer.sh: $(wine_cannot_run)" >&2; exit 2; }
if [ "$arch" = i686 ]; then
  win_preset=win nsis_target=x86-unicode
else
  win_preset=win64 nsis_target=amd64-unicode
fi
host_build="$root/build/host" win_build="$root/build/$win_preset"

echo "== Building kelvo (host) and the stub and demo setup.exe ($win_preset)" >&2
[ -f "$host_build/build.ninja" ] || cmake --preset host -DKELVO_WIN_BUILD_DIR="$win_build" >/dev/null
cmake --build "$host_build" -j2 --target kelvo >/dev/null
[ -f "$win_build/build.ninja" ] || cmake --preset "$win_preset" >/dev/null
cmake --build "$win_build" -j2 --target kelvo-stub demo-setup >/dev/null
kelvo="$host_build/tools/kelvo"
stub="$win_build/launcher/kelvo-stub.exe"
setup="$win_build/launcher/demo-setup/setup.exe"

out="$root/build/bench-installer"
mkdir -p "$out"
# The payload: the corpus (hard links where the file system allows) and
# setup.exe. Made again only when the corpus is newer.
payload="$out/payload"
if [ ! -f "$payload/setup.exe" ] || [ "$corpus" -nt "$payload" ] || [ "$setup" -nt "$payload/setup.exe" ]; then
  # A previous payload is moved aside, not deleted: deleting many files
  # slows down creating files for minutes on these machines.
  [ -d "$payload" ] && mv "$payload" "$out/old-payload.$$"
  mkdir -p "$payload"
  cp -al "$corpus/." "$payload/" 2>/dev/null || cp -a "$corpus/." "$payload/"
  cp "$setup" "$payload/setup.exe"
fi
payload_bytes=$(find "$payload" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
payload_files=$(find "$payload" -type f | wc -l)

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

echo "== Packing the installers" >&2
pack_log="$out/pack-times.txt"
touch "$pack_log"
# fresh OUTPUT INPUT...: whether OUTPUT is newer than every INPUT.
fresh() {
  local o=$1 i
  shift
  [ -f "$o" ] || return 1
  for i in "$@"; do [ "$o" -nt "$i" ] || return 1; done
}
# An installer is packed again only when something it is made of changed.
echo "${KELVO_SFX_OPTIONS:-}" >"$out/kelvo-options.new"
cmp -s "$out/kelvo-options.new" "$out/kelvo-options.txt" 2>/dev/null || mv "$out/kelvo-options.new" "$out/kelvo-options.txt"
# The archive is packed once (kelvo a packs as kelvo sfx does) and put
# into each stub as it is.
if ! fresh "$out/kelvo.ace" "$kelvo" "$payload/setup.exe" "$payload" "$out/kelvo-options.txt"; then
  t=$(date +%s%N)
  rm -f "$out/kelvo.ace"
  # shellcheck disable=SC2086  # the options are words
  (cd "$payload" && "$kelvo" -q a ${KELVO_SFX_OPTIONS:-} "$out/kelvo.ace" .) >/dev/null
  echo "kelvo $(ms_since "$t")" >>"$pack_log"
fi
fresh "$out/kelvo.exe" "$kelvo" "$stub" "$out/kelvo.ace" || "$kelvo" -q sfx --stub "$stub" -o "$out/kelvo.exe" "$out/kelvo.ace" >/dev/null
peers="kelvo nsis-zlib nsis-lzma xcopy"
if [ -n "${KELVO_BASELINE_STUB:-}" ]; then
  "$kelvo" -q sfx --stub "$KELVO_BASELINE_STUB" -o "$out/baseline.exe" "$out/kelvo.ace" >/dev/null
  peers="baseline $peers"
fi
for c in zlib lzma; do
  comp=zlib
  [ $c = lzma ] && comp="/SOLID lzma"
  cat >"$out/nsis-$c.nsi.new" <<NSI
Unicode true
Target $nsis_target
SetCompressor $comp
Name "nsisbench"
OutFile "$out/nsis-$c.exe"
SilentInstall silent
RequestExecutionLevel user
Section
  SetOutPath "\$TEMP\\nsisbench.tmp"
  File /r "$payload/*"
  ExecWait '"\$OUTDIR\\setup.exe"' \$0
  SetOutPath "\$TEMP"
  RMDir /r "\$TEMP\\nsisbench.tmp"
  SetErrorLevel \$0
SectionEnd
NSI
  cmp -s "$out/nsis-$c.nsi.new" "$out/nsis-$c.nsi" 2>/dev/null || mv "$out/nsis-$c.nsi.new" "$out/nsis-$c.nsi"
  rm -f "$out/nsis-$c.nsi.new"
  fresh "$out/nsis-$c.exe" "$out/nsis-$c.nsi" "$payload/setup.exe" "$payload" && continue
  t=$(date +%s%N)
  makensis -V1 "$out/nsis-$c.nsi" >"$out/nsis-$c.log" 2>&1 || { cat "$out/nsis-$c.log" >&2; exit 1; }
  echo "nsis-$c $(ms_since "$t")" >>"$pack_log"
done

wine_for "$out/kelvo.exe" || { echo "bench-installer.sh: $KELVO_WINE_WHY" >&2; exit 2; }
echo "== Preparing Wine ($WINEARCH prefix) and a display" >&2
wine_env_init "$out/wineprefix-$WINEARCH"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid" 2>/dev/null || true; fi
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  if [ -n "$tmpfs" ] && [ -L "${temp_dir:-}" ]; then
    rm -rf "$(readlink "$temp_dir")"
    rm "$temp_dir"
    mv "$temp_dir.disk" "$temp_dir" 2>/dev/null || true
  fi
  wine_env_cleanup
}
trap cleanup EXIT
x_display_start 1024 768
wine_fresh_session
# One server for all runs, as in a user's session: no run pays for
# starting it, none for its desktop.
wineserver -p
temp_dir="$(wine_temp_dir)"
[ -d "$temp_dir" ] || { echo "bench-installer.sh: no Wine temporary folder" >&2; exit 1; }
rm -rf "$temp_dir"/kelvo-* "$temp_dir"/nsisbench.tmp "$temp_dir"/xcopybench.tmp
if [ -n "$tmpfs" ]; then
  [ -L "$temp_dir" ] || mv "$temp_dir" "$temp_dir.disk"
  ln -sfn "$(mktemp -d /dev/shm/kelvo-bench.XXXXXX)" "$temp_dir"
  where="temporary folder on tmpfs"
elif [ -L "$temp_dir" ]; then
  rm -rf "$(readlink "$temp_dir")"
  rm "$temp_dir"
  mv "$temp_dir.disk" "$temp_dir" 2>/dev/null || mkdir "$temp_dir"
fi
where=${where:-temporary folder on $(df --output=fstype "$temp_dir" | tail -1)}
temp_win="$(wine_path "$temp_dir")"
report="$out/setup-report.txt"
report_win="$(wine_path "$out")\\setup-report.txt"
export KELVO_SETUP_REPORT="$report_win"
mkfifo "$out/.tick.$$"
exec {tick}<>"$out/.tick.$$"
rm -f "$out/.tick.$$"

# The top-level names setup.exe must have seen in its folder.
expected="$(cd "$payload" && for f in *; do
  if [ -d "$f" ]; then echo "folder=$f"; else echo "file=$f"; fi
done | LC_ALL=C sort)"

us() { local t=$EPOCHREALTIME; echo "${t/./}"; }

# run PEER GLOB COMMAND...: one timed run; appends a line to $results.
results="$out/results.txt"
: >"$results"
run() {
  local peer=$1 glob=$2
  shift 2
  rm -f "$report" "$report.new"
  local start t t_window="" t_hidden="" t_setup="" t_clean="" w rc=0
  start=${EPOCHREALTIME/./}
  "$@" >"$out/$peer.log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if [ -z "$t_setup" ]; then
      # Looked for in every peer's run, so that all pay the same for it.
      w=$(xdotool search --onlyvisible --name '^Initializing\.\.\.$' 2>/dev/null || true)
      t=${EPOCHREALTIME/./}
      if [ -n "$w" ]; then
        [ -n "$t_window" ] || t_window=$t
      elif [ -n "$t_window" ] && [ -z "$t_hidden" ]; then
        t_hidden=$t
      fi
      if [ -s "$report" ]; then
        t_setup=$t
        [ -n "$t_hidden" ] || t_hidden=$t
      fi
    elif [ -z "$t_clean" ]; then
      t=${EPOCHREALTIME/./}
      compgen -G "$glob" >/dev/null || t_clean=$t
    fi
    read -t 0.01 -u "$tick" || true
  done
  wait "$pid" || rc=$?
  t=${EPOCHREALTIME/./}
  pid=""
  [ -n "$t_setup" ] || { [ -s "$report" ] && t_setup=$t; } || true
  [ -n "$t_clean" ] || { compgen -G "$glob" >/dev/null || t_clean=$t; }
  local ok=ok
  if [ "$rc" -ne 0 ]; then
    ok="exit-code-$rc"
  elif [ ! -s "$report" ]; then
    ok="no-setup-report"
  elif [ "$(tr -d '\r' <"$report" | grep -E '^(file|folder)=[^:\\]*$' | LC_ALL=C sort)" != "$expected" ]; then
    ok="setup-saw-other-files"
  elif ! tr -d '\r' <"$report" | grep -qx finished; then
    ok="setup-did-not-finish"
  elif [ -z "$t_clean" ]; then
    ok="left-behind"
  fi
  ms() { [ -n "$1" ] && echo $(( ($1 - start) / 1000 )) || echo -; }
  echo "$peer $(ms "$t_window") $(ms "${t_hidden:-$t_setup}") $(ms "$t_setup") $(ms "$t_clean") $(ms "$t") $ok" \
    | tee -a "$results" >&2
  if [ "$ok" = left-behind ]; then
    rm -rf $glob
  fi
}

# The write floor: a batch file that copies the payload with xcopy, then
# (in setup.exe's place) writes the report of what is in the copy, then
# removes the copy.
cat >"$out/xcopy.bat" <<BAT
@echo off
xcopy /e /i /q /y "$(wine_path "$payload")" "$temp_win\\xcopybench.tmp" >NUL
cd /d "$temp_win\\xcopybench.tmp"
for /d %%d in (*) do @echo folder=%%d>>"$report_win.new"
for %%f in (*) do @echo file=%%f>>"$report_win.new"
echo finished>>"$report_win.new"
move /y "$report_win.new" "$report_win" >NUL
cd /d "$temp_win"
rmdir /s /q "$temp_win\\xcopybench.tmp"
BAT
xcopy_run() { "$KELVO_WINE" cmd /c "$(wine_path "$out/xcopy.bat")"; }

echo "== Running: $rounds rounds of ${peers// /, } (after one warm-up round)" >&2
echo "peer window extracted setup cleaned exit (ms) status" >&2
for r in $(seq 0 "$rounds"); do
  [ "$r" -eq 0 ] && echo "-- warm-up (not counted)" >&2
  [ "$r" -eq 1 ] && : >"$results"
  [ -z "${KELVO_BASELINE_STUB:-}" ] || run baseline "$temp_dir/kelvo-*" "$KELVO_WINE" "$out/baseline.exe"
  run kelvo "$temp_dir/kelvo-*" "$KELVO_WINE" "$out/kelvo.exe"
  run nsis-zlib "$temp_dir/nsisbench.tmp" "$KELVO_WINE" "$out/nsis-zlib.exe"
  run nsis-lzma "$temp_dir/nsisbench.tmp" "$KELVO_WINE" "$out/nsis-lzma.exe"
  run xcopy "$temp_dir/xcopybench.tmp" xcopy_run
done

# ---- summary: the median of each figure over the rounds --------------------
size() { stat -c %s "$1"; }
echo
echo "Installer run under Wine ($("$KELVO_WINE" --version 2>/dev/null), $WINEARCH prefix, $arch build, $where), $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "payload: $payload_files files, $payload_bytes bytes; median of $rounds rounds, seconds from starting the process"
printf '%-10s %12s %7s %7s %10s %7s %8s %8s %8s  %s\n' peer size "%size" window extracted setup cleaned exit "vs zlib" "runs ok"
zlib_exit=$(awk '$1 == "nsis-zlib" {print $6}' "$results" | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
for peer in $peers; do
  case $peer in
    xcopy) bytes=$payload_bytes ;;
    *) bytes=$(size "$out/$peer.exe") ;;
  esac
  awk -v peer="$peer" -v bytes="$bytes" -v total="$payload_bytes" -v zexit="$zlib_exit" '
    function median(col,   n, i, j, v, t) {
      n = 0
      for (i = 1; i <= rows; i++) if (cell[i, col] != "-") v[++n] = cell[i, col] + 0
      if (n == 0) return "-"
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return sprintf("%.2f", v[int((n + 1) / 2)] / 1000)
    }
    $1 == peer { rows++; for (c = 2; c <= 6; c++) cell[rows, c] = $c; if ($7 == "ok") good++ }
    END {
      e = median(6)
      printf "%-10s %12d %6.1f%% %7s %10s %7s %8s %8s %8s  %d/%d\n", peer, bytes, 100 * bytes / total,
        median(2), median(3), median(4), median(5), e, (zexit > 0 ? sprintf("%.2fx", e * 1000 / zexit) : "-"),
        good, rows
    }' "$results"
done
echo "(xcopy's size is the payload's; its \"setup\" is the end of the copy, \"cleaned\" the end of rmdir)"
echo "packing (ms): $(tr '\n' ' ' <"$pack_log")"
echo "every run: $results"
