#!/usr/bin/env bash
# The Windows installer under Wine, on a private Xvfb when there is no
# display. One case per run:
#
#   window   the splash window: title, size, centred position, the bitmap
#   drag     dragging with the left button; moving without a press
#   run      setup.exe's command line, folder, environment; the wait; clean-up
#   damaged  the job's message, no setup.exe, clean-up all the same, its status
#   close    closing the window while unpacking ends the process with 3
#   planted  a prepared %TEMP%\kelvo08.tmp (read-only setup.exe, a DLL) is
#            neither used nor changed; setup.exe runs in a new kelvo08.tmp
#   together two installers at once both complete, in folders of their own
#   nested   nested folders: nothing of the run remains under %TEMP%
#   header   a damaged header after setup.exe: a message, no setup.exe, 8
#   exitcode setup.exe's exit code 7 is the installer's
#
# usage: installer_wine.sh CASE WIN_BUILD_DIR
# Exit 77 (skipped) without a cross build or its programs.
set -uo pipefail
case_name="$1"
win_build="${2:-}"
root="$(cd "$(dirname "$0")/../.." && pwd)"

if [ -z "$win_build" ]; then
  echo "SKIP: no cross build given (KELVO_WIN_BUILD_DIR)"
  exit 77
fi
launcher="$win_build/launcher"
for f in kelvo-installer.exe installer-slow.exe installer-damaged.exe installer-nested.exe \
         installer-header.exe splash.bmp; do
  if [ ! -f "$launcher/$f" ]; then
    echo "SKIP: $launcher/$f missing"
    exit 77
  fi
done
for tool in wine Xvfb xdotool import compare xdpyinfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not installed"; exit 77; }
done

. "$root/scripts/wine-env.sh"
wine_for "$launcher/kelvo-installer.exe" || { echo "SKIP: $KELVO_WINE_WHY"; exit 77; }
work="$(mktemp -d)"
installer_pid=""
cleanup() {
  if [ -n "$installer_pid" ] && kill -0 "$installer_pid" 2>/dev/null; then
    kill "$installer_pid" 2>/dev/null
    wait "$installer_pid" 2>/dev/null
  fi
  wine_env_cleanup
  rm -rf "$work"
}
trap cleanup EXIT

wine_env_init "${WINEPREFIX:-}" || { echo "FAIL: no Wine prefix"; exit 1; }
x_display_start 1024 768 || { echo "FAIL: no X display"; exit 1; }
# The Wine tests run one at a time (CTest's kelvo_wine lock): the prefix's
# server is ours to end.
wine_fresh_session
screen_w=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1] }')
screen_h=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[2] }')

temp_dir="$(wine_temp_dir)"
[ -n "$temp_dir" ] && [ -d "$temp_dir" ] || { echo "FAIL: no Wine temporary folder"; exit 1; }
# The fixed path of old: only the planted case puts something there.
scratch="$temp_dir/kelvo08.tmp"
rm -rf "$scratch"
# Each run makes its own %TEMP%\kelvo-<16 hex digits>\kelvo08.tmp.
run_folder_pattern='C:\\users\\[^\\]*\\Temp\\kelvo-[0-9a-f]\{16\}\\kelvo08\.tmp'
temp_listing() { (cd "$temp_dir" && find . -mindepth 1 -maxdepth 1 | sort); }
temp_before="$(temp_listing)"

failures=0 passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passed=$((passed + 1)); }
check() { if eval "$2"; then pass; else fail "$1"; fi; }
finish() {
  echo "installer_wine $case_name: $passed passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}

report="$work/report.txt"
report_win="$(wine_path "$work")\\report.txt"

# killed_from_outside RC...: ends the case with 75 (run again by
# rerun_when_killed.sh) when a run ended by SIGKILL that nothing here sent.
killed_from_outside() {
  local rc
  for rc in "$@"; do
    if [ "$rc" -eq 137 ]; then
      echo "an installer was killed by SIGKILL from outside the test"
      # What the killed run left in %TEMP% goes, for the run after.
      comm -13 <(echo "$temp_before") <(temp_listing) | while read -r left; do
        [ -n "$left" ] && rm -rf "${temp_dir:?}/$left"
      done
      exit 75
    fi
  done
}
# start_installer EXE: runs it in the background; setup.exe reports into
# $report instead of showing a box.
start_installer() {
  KELVO_SETUP_REPORT="$report_win" KELVO_SETUP_TOKEN="inherited-$$" \
    timeout -k 5 300 "$KELVO_WINE" "$1" >"$work/out" 2>"$work/err" &
  installer_pid=$!
  start_ns=$(date +%s%N)
}
# wait_installer: its exit code (after at most SECONDS).
wait_installer() {
  local limit="${1:-240}" i
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$installer_pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$installer_pid"
  local rc=$?
  installer_pid=""
  killed_from_outside $rc
  return $rc
}
# find_window TITLE [SECONDS]: prints the X window id of the visible window
# with exactly that title.
find_window() {
  local title="$1" limit="${2:-60}" i id
  for ((i = 0; i < limit * 10; i++)); do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -1)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}
geometry() {  # sets X Y WIDTH HEIGHT
  eval "$(xdotool getwindowgeometry --shell "$1")"
}
# shows_splash X Y: the screen at X,Y shows the bitmap pixel for pixel.
shows_splash() {
  import -window root -crop "321x81+$1+$2" +repage "$work/shot.png" 2>/dev/null || return 1
  local diff
  diff=$(compare -metric AE "$work/shot.png" "$launcher/splash.bmp" null: 2>&1)
  [ "$diff" = "0" ] || { echo "  $diff pixels differ" >&2; return 1; }
}
# Nothing of the run is left under %TEMP%.
scratch_gone() { [ "$(temp_listing)" = "$temp_before" ]; }
# Under load Wine may take a moment to act on an event or paint: these
# look again for a few seconds before they give up.
at_position() {  # WINDOW X Y
  local i
  for ((i = 0; i < 50; i++)); do
    geometry "$1"
    [ "$X" -eq "$2" ] && [ "$Y" -eq "$3" ] && return 0
    sleep 0.1
  done
  return 1
}
shows_splash_soon() {  # X Y
  local i
  for ((i = 0; i < 15; i++)); do
    shows_splash "$1" "$2" 2>/dev/null && return 0
    sleep 0.2
  done
  shows_splash "$1" "$2"
}

expect_x=$((screen_w / 2 - 160))
expect_y=$((screen_h / 2 - 40))

case "$case_name" in
window)
  start_installer "$launcher/installer-slow.exe"
  w=$(find_window "Initializing\\.\\.\\.") || { fail "no window titled Initializing..."; finish; }
  geometry "$w"
  check "size 321 x 81 (got ${WIDTH}x${HEIGHT})" '[ "$WIDTH" -eq 321 ] && [ "$HEIGHT" -eq 81 ]'
  check "centred at $expect_x,$expect_y (got $X,$Y)" '[ "$X" -eq "$expect_x" ] && [ "$Y" -eq "$expect_y" ]'
  check "shows the splash bitmap" 'shows_splash_soon "$X" "$Y"'
  cp "$work/shot.png" "${KELVO_SCREENSHOT:-$work/kept.png}" 2>/dev/null || true
  wait_installer
  rc=$?
  check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
  check "setup ran after the window was hidden" 'grep -q "^splash-window=hidden" "$report"'
  check "scratch folder removed" scratch_gone
  ;;
drag)
  start_installer "$launcher/installer-slow.exe"
  w=$(find_window "Initializing\\.\\.\\.") || { fail "no window titled Initializing..."; finish; }
  geometry "$w"
  x0=$X y0=$Y
  # Moving over the window without a press does nothing.
  xdotool mousemove $((x0 + 30)) $((y0 + 20)); sleep 0.2
  xdotool mousemove $((x0 + 90)) $((y0 + 50)); sleep 0.2
  xdotool mousemove $((x0 + 60)) $((y0 + 30)); sleep 0.3
  geometry "$w"
  check "no press, no move (at $X,$Y)" '[ "$X" -eq "$x0" ] && [ "$Y" -eq "$y0" ]'
  # Press at (x0+60, y0+30), move in steps by (+47, -123) in total: up and
  # to the right, partly above where the window was (negative client y).
  xdotool mousedown 1; sleep 0.2
  for step in "10 -30" "10 -30" "10 -30" "10 -30" "7 -3"; do
    xdotool mousemove_relative -- $step
    sleep 0.15
  done
  check "follows the cursor while held (expected $((x0 + 47)),$((y0 - 123)))" \
    'at_position "$w" $((x0 + 47)) $((y0 - 123))'
  xdotool mouseup 1; sleep 0.2
  geometry "$w"
  x1=$X y1=$Y
  xdotool mousemove_relative -- 40 40; sleep 0.3
  geometry "$w"
  check "released: stays (at $X,$Y)" '[ "$X" -eq "$x1" ] && [ "$Y" -eq "$y1" ]'
  check "still shows the bitmap where it went" 'shows_splash_soon "$X" "$Y"'
  wait_installer
  rc=$?
  check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
  check "scratch folder removed" scratch_gone
  ;;
run)
  export KELVO_SETUP_DELAY_MS=1500
  start_installer "$launcher/kelvo-installer.exe"
  for ((i = 0; i < 1200; i++)); do
    [ -s "$report" ] && break
    kill -0 "$installer_pid" 2>/dev/null || break
    sleep 0.05
  done
  setup_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
  wait_installer
  rc=$?
  total_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
  echo "start to setup.exe: ${setup_ms} ms; whole run: ${total_ms} ms"
  tr -d '\r' <"$report" >"$work/report.lf" 2>/dev/null
  check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
  check "setup ran" '[ -s "$work/report.lf" ]'
  check "command line exactly '-install -up'" 'grep -qx -- "command-line=-install -up" "$work/report.lf"'
  check "current folder is a new scratch folder" 'grep -qix "folder=$run_folder_pattern" "$work/report.lf"'
  check "environment inherited" 'grep -qx "token=inherited-$$" "$work/report.lf"'
  check "eleven files unpacked" '[ "$(grep -c "^file=" "$work/report.lf")" -eq 11 ]'
  check "setup.exe among them" 'grep -qx "file=setup.exe" "$work/report.lf"'
  check "splash hidden before setup" 'grep -qx "splash-window=hidden" "$work/report.lf"'
  check "the installer waited for setup" 'grep -qx finished "$work/report.lf"'
  check "scratch folder removed" scratch_gone
  ;;
damaged)
  export WINEDEBUG=+debugstr
  start_installer "$launcher/installer-damaged.exe"
  box=$(find_window "Fatal") || { fail "no message box"; finish; }
  check "the splash window is still up behind the box" 'xdotool search --onlyvisible --name "^Initializing\\.\\.\\.\$" >/dev/null'
  check "the job's message (OutputDebugStringA)" 'grep -q "OutputDebugStringA \"CRC error\"" "$work/err"'
  # Dismiss the box: its OK button sits centred near its bottom.
  geometry "$box"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 21)) click 1
  wait_installer 60
  rc=$?
  check "exit code 9, the job's status (got $rc)" '[ "$rc" -eq 9 ]'
  check "setup.exe did not run" '[ ! -e "$report" ]'
  check "scratch folder removed" scratch_gone
  ;;
close)
  start_installer "$launcher/installer-slow.exe"
  w=$(find_window "Initializing\\.\\.\\.") || { fail "no window titled Initializing..."; finish; }
  geometry "$w"
  # Alt+F4 to the window (a click gives it the keyboard).
  xdotool mousemove $((X + 100)) $((Y + 40)) click 1
  sleep 0.2
  xdotool key alt+F4
  wait_installer 30
  rc=$?
  check "exit code 3 (got $rc)" '[ "$rc" -eq 3 ]'
  check "ended while unpacking: setup.exe did not run" '[ ! -e "$report" ]'
  # The run's folder stays behind by design; do not leave it to the next case.
  comm -13 <(echo "$temp_before") <(temp_listing) | while read -r f; do
    case "$f" in ./kelvo-*) rm -rf "${temp_dir:?}/$f" ;; esac
  done
  ;;
planted)
  # What another program of the user could have prepared at the old
  # fixed path: a read-only setup.exe of its own and a DLL beside it.
  mkdir -p "$scratch"
  printf 'planted program\n' > "$scratch/setup.exe"
  printf 'planted library\n' > "$scratch/version.dll"
  chmod 444 "$scratch/setup.exe"
  temp_before="$(temp_listing)"
  planted_state() { (cd "$scratch" && find . -exec stat -c '%n %a %s %Y' {} + | sort; cat setup.exe version.dll); }
  planted_before="$(planted_state)"
  start_installer "$launcher/kelvo-installer.exe"
  wait_installer
  rc=$?
  tr -d '\r' <"$report" >"$work/report.lf" 2>/dev/null
  check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
  check "the payload's setup.exe ran" 'grep -qx "command-line=-install -up" "$work/report.lf"'
  check "in a new folder named kelvo08.tmp ($(grep ^folder= "$work/report.lf"))" \
    'grep -qix "folder=$run_folder_pattern" "$work/report.lf"'
  check "the planted folder is unchanged" '[ "$(planted_state)" = "$planted_before" ]'
  check "nothing else remains" scratch_gone
  chmod -R u+w "$scratch"
  rm -rf "$scratch"
  ;;
together)
  export KELVO_SETUP_DELAY_MS=1500
  for n in 1 2; do
    KELVO_SETUP_REPORT="$(wine_path "$work")\\report$n.txt" \
      timeout -k 5 300 "$KELVO_WINE" "$launcher/kelvo-installer.exe" >"$work/out$n" 2>"$work/err$n" &
    eval "pid$n=\$!"
  done
  wait "$pid1"; rc1=$?
  wait "$pid2"; rc2=$?
  killed_from_outside "$rc1" "$rc2"
  for n in 1 2; do tr -d '\r' <"$work/report$n.txt" >"$work/report$n.lf" 2>/dev/null; done
  check "both exit 0 ($rc1, $rc2)" '[ "$rc1" -eq 0 ] && [ "$rc2" -eq 0 ]'
  check "both setups ran to their end" 'grep -qx finished "$work/report1.lf" && grep -qx finished "$work/report2.lf"'
  check "each in a folder of its own" \
    '[ "$(grep ^folder= "$work/report1.lf")" != "$(grep ^folder= "$work/report2.lf")" ]'
  check "both saw all eleven files" \
    '[ "$(grep -c "^file=" "$work/report1.lf")" -eq 11 ] && [ "$(grep -c "^file=" "$work/report2.lf")" -eq 11 ]'
  check "nothing of either remains" scratch_gone
  ;;
nested)
  start_installer "$launcher/installer-nested.exe"
  wait_installer
  rc=$?
  tr -d '\r' <"$report" >"$work/report.lf" 2>/dev/null
  check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
  check "setup saw the nested folder" 'grep -qx "folder=sub" "$work/report.lf"'
  check "nothing of the run remains ($(comm -13 <(echo "$temp_before") <(temp_listing) | tr '\n' ' '))" scratch_gone
  ;;
header)
  export WINEDEBUG=+debugstr
  start_installer "$launcher/installer-header.exe"
  box=$(find_window "Fatal") || { fail "no message box"; finish; }
  check "the message (OutputDebugStringA)" 'grep -q "OutputDebugStringA \"Archive data is damaged\"" "$work/err"'
  geometry "$box"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT - 21)) click 1
  wait_installer 60
  rc=$?
  check "exit code 8 (got $rc)" '[ "$rc" -eq 8 ]'
  check "setup.exe did not run" '[ ! -e "$report" ]'
  check "nothing of the run remains" scratch_gone
  ;;
exitcode)
  export KELVO_SETUP_EXIT_CODE=7
  start_installer "$launcher/kelvo-installer.exe"
  wait_installer
  rc=$?
  check "setup ran" '[ -s "$report" ]'
  check "setup.exe's exit code 7 is the installer's (got $rc)" '[ "$rc" -eq 7 ]'
  check "nothing of the run remains" scratch_gone
  ;;
*)
  echo "unknown case $case_name"
  exit 2
  ;;
esac
finish
