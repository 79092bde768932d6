#!/usr/bin/env bash
# The native installer end to end: kelvo sfx packs the payload and appends
# it to the native launcher kelvo-installer, and the result unpacks into a
# new private folder $TMPDIR/kelvo-<random>/kelvo08.tmp, runs setup.exe
# there, ends with its exit code and leaves nothing behind. Damaged
# payloads, which sfx refuses, come from the archive generator.
#
# usage: installer_native.sh KELVO MAKE_ARCHIVES KELVO_INSTALLER
set -uo pipefail
kelvo="$1" make_archives="$2" stub="$3"

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
  printf 'mode=%s\n' "$(stat -c %a ..)"
  printf 'token=%s\n' "$KELVO_TEST_TOKEN"
  ls -1
} > "$KELVO_TEST_REPORT"
sleep "${KELVO_TEST_SLEEP:-1}"
echo finished >> "$KELVO_TEST_REPORT"
exit "${KELVO_TEST_EXIT:-0}"
SCRIPT
for i in 1 2 3 4 5 6 7 8 9 10; do
  head -c $((i * 1000)) /dev/urandom | base64 > "$work/payload/file$i.txt"
done

run_installer() {  # installer [report]; TMPDIR is $work/tmp; output in $work/out, $work/err
  local installer="$1" rep="${2:-$work/report}"
  rm -f "$rep"
  TMPDIR="$work/tmp" KELVO_TEST_REPORT="$rep" KELVO_TEST_TOKEN=inherited-7 \
    timeout 120 "$installer" >"$work/out" 2>"$work/err"
}
# Nothing of a run stays in the temporary folder (what is listed stays).
temp_holds_only() { [ "$(ls -A "$work/tmp" | tr '\n' ' ')" = "$*" ]; }
setup_folder() { sed -n 's/^pwd=//p' "${1:-$work/report}"; }

# --- a complete run, with nested folders -------------------------------------
mkdir -p "$work/nested/sub/deep"
cp -p "$work/payload/"* "$work/nested/"
head -c 3000 /dev/urandom | base64 > "$work/nested/sub/deep/nested.dat"
"$kelvo" -q sfx --stub "$stub" "$work/installer" "$work/nested/." >/dev/null || { echo "FAIL: kelvo sfx"; exit 1; }
start=$(date +%s%N)
KELVO_TEST_EXIT=7 run_installer "$work/installer"
rc=$?
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
check "exit code is setup's 7 (got $rc)" '[ "$rc" -eq 7 ]'
check "no message ($(cat "$work/err"))" '[ ! -s "$work/err" ]'
check "setup ran" '[ -f "$work/report" ]'
check "command line" 'grep -qx "args=-install -up|" "$work/report" && grep -qx "argc=2" "$work/report"'
check "program name" 'grep -qx "argv0=setup.exe" "$work/report"'
check "current folder is a new kelvo08.tmp ($(setup_folder))" \
  'setup_folder | grep -qx "$work/tmp/kelvo-[0-9a-f]\{16\}/kelvo08.tmp"'
check "its folder is private" 'grep -qx "mode=700" "$work/report"'
check "environment inherited" 'grep -qx "token=inherited-7" "$work/report"'
check "all eleven files and the folder were there" \
  '[ "$(grep -c -e "^file[0-9]*\.txt$" -e "^setup\.exe$" -e "^sub$" "$work/report")" -eq 12 ]'
check "installer waited for setup" 'grep -qx finished "$work/report"'
check "nothing of the run remains ($(ls -A "$work/tmp"))" 'temp_holds_only'
echo "complete run: ${elapsed_ms} ms"

# --- damaged payloads: message, no setup, clean-up -----------------------------
"$make_archives" --payload "$work/damaged" "$work/payload" --filler tail.dat 100000 --damage-tail \
  --native-stub "$stub" || exit 1
run_installer "$work/damaged"
rc=$?
check "damaged data: exit code 9 (got $rc)" '[ "$rc" -eq 9 ]'
check "damaged data: the job's message ($(cat "$work/err"))" 'grep -qx "Fatal: CRC error" "$work/err"'
check "damaged data: setup did not run" '[ ! -e "$work/report" ]'
check "damaged data: nothing remains" 'temp_holds_only'

# setup.exe is whole and written; the header after it is not.
"$make_archives" --payload "$work/header" "$work/payload" --filler a.dat 3000 --filler b.dat 3000 \
  --damage-header 11 --native-stub "$stub" || exit 1
run_installer "$work/header"
rc=$?
check "damaged header: exit code 8 (got $rc)" '[ "$rc" -eq 8 ]'
check "damaged header: the message ($(cat "$work/err"))" 'grep -qx "Fatal: Archive data is damaged" "$work/err"'
check "damaged header: setup did not run" '[ ! -e "$work/report" ]'
check "damaged header: nothing remains" 'temp_holds_only'

# --- the stub without a payload ---------------------------------------------
run_installer "$stub"
rc=$?
check "no payload: exit code non-zero (got $rc)" '[ "$rc" -ne 0 ]'
check "no payload: a message" 'grep -q "^Fatal: " "$work/err"'
check "no payload: setup did not run" '[ ! -e "$work/report" ]'
check "no payload: nothing remains" 'temp_holds_only'

# --- a scratch folder planted at the old fixed path ---------------------------
mkdir "$work/tmp/kelvo08.tmp"
printf '#!/bin/sh\necho planted > "$KELVO_TEST_REPORT"\n' > "$work/tmp/kelvo08.tmp/setup.exe"
chmod 555 "$work/tmp/kelvo08.tmp/setup.exe"
echo planted > "$work/tmp/kelvo08.tmp/libplanted.so"
ln -s "$work/tmp/kelvo08.tmp" "$work/tmp/kelvo-0000000000000000"
(cd "$work/tmp" && find . -mindepth 1 -exec stat -c '%n %a %s %Y' {} + | sort) > "$work/planted.before"
run_installer "$work/installer"
rc=$?
(cd "$work/tmp" && find . -mindepth 1 -exec stat -c '%n %a %s %Y' {} + | sort) > "$work/planted.after"
check "planted: exit code 0 (got $rc)" '[ "$rc" -eq 0 ]'
check "planted: the payload's setup ran" 'grep -qx "args=-install -up|" "$work/report"'
check "planted: in a folder of its own ($(setup_folder))" \
  'setup_folder | grep -qx "$work/tmp/kelvo-[0-9a-f]\{16\}/kelvo08.tmp"'
check "planted: neither used nor changed" 'cmp -s "$work/planted.before" "$work/planted.after"'
rm -rf "$work/tmp/kelvo08.tmp" "$work/tmp/kelvo-0000000000000000"

# --- two installers at once -----------------------------------------------------
KELVO_TEST_SLEEP=2 run_installer "$work/installer" "$work/report.1" &
first=$!
KELVO_TEST_SLEEP=2 run_installer "$work/installer" "$work/report.2"
rc2=$?
wait "$first"
rc1=$?
check "together: both exit 0 ($rc1, $rc2)" '[ "$rc1" -eq 0 ] && [ "$rc2" -eq 0 ]'
check "together: both setups finished" 'grep -qx finished "$work/report.1" && grep -qx finished "$work/report.2"'
check "together: in different folders" '[ "$(setup_folder "$work/report.1")" != "$(setup_folder "$work/report.2")" ]'
check "together: nothing remains" 'temp_holds_only'

echo "installer_native: $passed passed, $failures failed"
[ "$failures" -eq 0 ]
