# Shared by the console tool's integration scripts (sourced, not run).
#
#   bash cli_<suite>.sh native PATH-TO-kelvo      PATH-TO-make_archives
#   bash cli_<suite>.sh wine   PATH-TO-kelvo.exe  PATH-TO-make_archives
#
# Each script makes its archives in a fresh folder ($arc), runs the tool
# there with `run` and checks exit codes, files and messages. In wine mode
# an empty or missing kelvo.exe skips the script (exit code 77).
set -u

mode=${1:?mode: native or wine}
tool=${2:-}
make_archives=${3:?path to make_archives}
failures=0
checks=0
# The scripts change folders: make the paths absolute.
[ -n "$tool" ] && [ -e "$tool" ] && tool=$(realpath "$tool")
make_archives=$(realpath "$make_archives")

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvo-cli.XXXXXX")
cleanup() { chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

if [ "$mode" = wine ]; then
  if [ -z "$tool" ] || [ ! -f "$tool" ]; then
    echo "SKIP: no kelvo.exe (the host build was configured without KELVO_WIN_BUILD_DIR, or the cross build is missing)"
    exit 77
  fi
  . "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
  if ! wine_for "$tool"; then
    echo "SKIP: $KELVO_WINE_WHY"
    exit 77
  fi
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX="${TMPDIR:-/tmp}/kelvo-cli-wineprefix-$WINEARCH"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # Several suites may start at once: one of them warms the prefix.
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
      flock 9
      [ -f "$WINEPREFIX/system.reg" ] || timeout 300 "$KELVO_WINE" wineboot -i >/dev/null 2>&1 || true
    ) 9>"$WINEPREFIX.lock"
  fi
elif [ "$mode" != native ]; then
  echo "unknown mode $mode" >&2
  exit 2
fi

# kelvo ARGS...: the tool under test, in the current folder.
kelvo() {
  if [ "$mode" = wine ]; then
    timeout 120 "$KELVO_WINE" "$tool" "$@"
  else
    timeout 120 "$tool" "$@"
  fi
}

# run ARGS...: runs the tool with no input; sets rc, and $out / $err hold
# its standard output and error (carriage returns removed: Windows text).
out="$work/out"
err="$work/err"
run() {
  rc=0
  kelvo "$@" <"${run_input:-/dev/null}" >"$out.raw" 2>"$err.raw" || rc=$?
  tr -d '\r' <"$out.raw" >"$out"
  tr -d '\r' <"$err.raw" >"$err"
  run_input=
}
# run_with_input TEXT ARGS...: the same with TEXT on standard input.
run_with_input() {
  printf '%s' "$1" >"$work/input"
  shift
  run_input="$work/input"
  run "$@"
}

fail() {
  failures=$((failures + 1))
  echo "FAIL: $*"
  echo "  --- stdout"; sed 's/^/  | /' "$out" 2>/dev/null | head -40
  echo "  --- stderr"; sed 's/^/  | /' "$err" 2>/dev/null | head -40
}
pass() { checks=$((checks + 1)); }

expect_rc() {  # CODE WHAT
  if [ "$rc" = "$1" ]; then pass; else fail "$2: exit code $rc, expected $1"; fi
}
expect_err() {  # TEXT WHAT
  if grep -qF -- "$1" "$err"; then pass; else fail "$2: standard error lacks \"$1\""; fi
}
expect_no_err() {  # TEXT WHAT
  if grep -qF -- "$1" "$err"; then fail "$2: standard error has \"$1\""; else pass; fi
}
expect_out() {  # TEXT WHAT
  if grep -qF -- "$1" "$out"; then pass; else fail "$2: standard output lacks \"$1\""; fi
}
expect_no_out() {  # TEXT WHAT
  if grep -qF -- "$1" "$out"; then fail "$2: standard output has \"$1\""; else pass; fi
}
expect_same_tree() {  # EXPECTED ACTUAL WHAT
  if diff -r "$1" "$2" >"$work/diff" 2>&1; then pass; else fail "$3: $(head -5 "$work/diff")"; fi
}
expect_same_file() {  # EXPECTED ACTUAL WHAT
  if cmp -s "$1" "$2"; then pass; else fail "$3: $2 differs from $1"; fi
}
expect_missing() {  # PATH WHAT
  if [ -e "$1" ] || [ -L "$1" ]; then fail "$2: $1 exists"; else pass; fi
}
expect_empty_dir() {  # DIR WHAT
  if [ -z "$(ls -A "$1")" ]; then pass; else fail "$2: $1 holds $(ls -A "$1" | head -5 | tr '\n' ' ')"; fi
}

# fresh NAME: an empty folder $work/NAME, made the current folder.
fresh() {
  rm -rf "${work:?}/$1"
  mkdir -p "$work/$1"
  cd "$work/$1" || exit 2
}

arc="$work/archives"
if ! "$make_archives" "$arc" >"$work/make.log" 2>&1; then
  echo "make_archives failed:"; cat "$work/make.log"
  exit 1
fi
src="$arc/src"

done_testing() {
  cd / || true
  if [ "$failures" -ne 0 ]; then
    echo "$failures of $((checks + failures)) checks failed ($mode)"
    exit 1
  fi
  echo "all $checks checks passed ($mode)"
  exit 0
}
