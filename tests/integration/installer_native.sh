#!/usr/bin/env bash
# The native installer end to end: kelvo-pack makes the payload,
# kelvo-attach appends it to kelvo-installer, and the result unpacks into
# $TMPDIR/kelvo08.tmp, runs setup.exe there and cleans up.
#
# usage: installer_native.sh KELVO_PACK KELVO_ATTACH KELVO_INSTALLER
set -uo pipefail
pack="$1" attach="$2" stub="$3"

work="$(mktemp -d)"
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0 passed=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { passed=$((passed + 1)); }
check() { if eval "$2"; then pass; else fail "$1"; fi; }

mkdir -p "$work/payload" "$work/tmp"
# setup.exe here is a shell script: it writes what it was given to the
# report file named in the environment.
cat > "$work/payload/setup.exe" <<'SCRIPT'
#!/bin/sh
{
  printf 'args=%s|\n' "$*"
  printf 'argc=%s\n' "$#"
  printf 'argv0=%s\n' "$(basename "$0")"
  printf 'pwd=%s\n' "$(pwd)"
  printf 'mode=%s\n' "$(stat -c %a .)"
  printf 'token=%s\n' "$KELVO_TEST_TOKEN"
  ls -1
} > "$KELVO_TEST_REPORT"
sleep 1
echo finished >> "$KELVO_TEST_REPORT"
SCRIPT
for i in 1 2 3 4 5 6 7 8 9 10; do
  head -c $((i * 1000)) /dev/urandom | base64 > "$work/payload/file$i.txt"
done

run_installer() {  # installer, then TMPDIR is $work/tmp; output in $work/out, $work/err
  local installer="$1"
  rm -f "$work/report"
  TMPDIR="$work/tmp" KELVO_TEST_REPORT="$work/report" KELVO_TEST_TOKEN=inherited-7 \
    timeout 120 "$installer" >"$work/out" 2>"$work/err"
}

# --- a complete run -------------------------------------------------------
"$pack" "$work/demo.ace" "$work/payload" || { echo "FAIL: kelvo-pack"; exit 1; }
"$attach" "$stub" "$work/demo.ace" "$work/installer" || { echo "FAIL: kelvo-attach"; exit 1; }
start=$(date +%s%N)
run_installer "$work/installer"
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
check "no message ($(cat "$work/err"))" '[ ! -s "$work/err" ]'
check "setup ran" '[ -f "$work/report" ]'
check "command line" 'grep -qx "args=-install -up|" "$work/report" && grep -qx "argc=2" "$work/report"'
check "program name" 'grep -qx "argv0=setup.exe" "$work/report"'
check "current folder is the scratch folder" 'grep -qx "pwd=$work/tmp/kelvo08.tmp" "$work/report"'
check "scratch folder is private" 'grep -qx "mode=700" "$work/report"'
check "environment inherited" 'grep -qx "token=inherited-7" "$work/report"'
check "all eleven files were there" '[ "$(grep -c -e "^file[0-9]*\.txt$" -e "^setup\.exe$" "$work/report")" -eq 11 ]'
check "installer waited for setup" 'grep -qx finished "$work/report"'
check "scratch folder removed" '[ ! -e "$work/tmp/kelvo08.tmp" ]'
echo "complete run: ${elapsed_ms} ms"

# --- a damaged payload: message, no setup, clean-up -------------------------
"$pack" --filler tail.dat 100000 --damage-tail "$work/damaged.ace" "$work/payload" || exit 1
"$attach" "$stub" "$work/damaged.ace" "$work/damaged"
run_installer "$work/damaged"
rc=$?
check "damaged: exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
check "damaged: the job's message ($(cat "$work/err"))" 'grep -q "^Fatal: " "$work/err"'
check "damaged: setup did not run" '[ ! -e "$work/report" ]'
check "damaged: scratch folder removed" '[ ! -e "$work/tmp/kelvo08.tmp" ]'

# --- the stub without a payload ---------------------------------------------
run_installer "$stub"
rc=$?
check "no payload: exit code 0" '[ "$rc" -eq 0 ]'
check "no payload: a message" 'grep -q "^Fatal: " "$work/err"'
check "no payload: setup did not run" '[ ! -e "$work/report" ]'
check "no payload: scratch folder removed" '[ ! -e "$work/tmp/kelvo08.tmp" ]'

# --- a scratch folder planted by someone else -------------------------------
if [ "$(id -u)" -eq 0 ]; then
  mkdir -m 0777 "$work/tmp/kelvo08.tmp"
  chown 4242:4242 "$work/tmp/kelvo08.tmp"
  run_installer "$work/installer"
  rc=$?
  check "foreign folder: exit code 0" '[ "$rc" -eq 0 ]'
  check "foreign folder: refused ($(cat "$work/err"))" 'grep -qx "Fatal: Unable to set temporary directory" "$work/err"'
  check "foreign folder: nothing unpacked into it" '[ -z "$(ls -A "$work/tmp/kelvo08.tmp")" ]'
  check "foreign folder: setup did not run" '[ ! -e "$work/report" ]'
  rmdir "$work/tmp/kelvo08.tmp"
else
  echo "foreign folder: skipped (needs root to make a folder of another owner)"
fi

# --- a symbolic link planted at the scratch path ----------------------------
mkdir "$work/elsewhere"
ln -s "$work/elsewhere" "$work/tmp/kelvo08.tmp"
run_installer "$work/installer"
check "symbolic link: refused" 'grep -qx "Fatal: Unable to set temporary directory" "$work/err"'
check "symbolic link: nothing written through it" '[ -z "$(ls -A "$work/elsewhere")" ]'
check "symbolic link: setup did not run" '[ ! -e "$work/report" ]'
rm "$work/tmp/kelvo08.tmp"

echo "installer_native: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
