#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) and runs
# each for a bounded time, starting from its checked-in seeds and every
# regression input.
#
#   scripts/fuzz.sh [seconds per target] [target ...]
#       targets: job volumes code_table comment (default: all)
#
# Prints, per target, the executions, the coverage (cov: edges, ft:
# features) and any crash. A crash, leak, timeout or out-of-memory fails
# the run; its input is copied to tests/fuzz_regressions/<target>/, where
# CTest replays it from then on (commit it with the fix). The corpus a run
# grows is kept in build/fuzz/corpus/<target> for the next run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(job volumes code_table comment)
dir="${KELVO_FUZZ_BUILD_DIR:-build/fuzz}"

cmake --preset fuzz -B "$dir" >/dev/null || exit 1
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$dir" -j "$(nproc)" --target "${build_targets[@]}" || exit 1

# The job target extracts into a scratch folder: keep that in memory.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$root/$dir/corpus/$t"
  artifacts="$root/$dir/artifacts/$t"
  log="$root/$dir/fuzz_$t.log"
  mkdir -p "$corpus" "$artifacts"
  rm -f "$artifacts"/*
  # New inputs go to the first folder; the seeds and regressions are read.
  seeds=("$root/fuzz/corpus/$t")
  [ -d "$root/tests/fuzz_regressions/$t" ] && seeds+=("$root/tests/fuzz_regressions/$t")
  options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  case $t in
    job|volumes) options+=(-max_len=32768 -dict="$root/fuzz/archive.dict") ;;
  esac
  start=$(date +%s)
  "$root/$dir/fuzz/fuzz_$t" "${options[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  elapsed=$(( $(date +%s) - start ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  line="fuzz_$t: ${elapsed}s, ${runs:-?} executions, ${cov:-no coverage line}"
  if [ $rc -ne 0 ]; then
    status=1
    mkdir -p "$root/tests/fuzz_regressions/$t"
    for f in "$artifacts"/*; do
      [ -f "$f" ] || continue
      cp "$f" "$root/tests/fuzz_regressions/$t/"
      line+=", FAILED: $(basename "$f") copied to tests/fuzz_regressions/$t/"
    done
    echo "---- fuzz_$t failed (exit $rc); the end of its log:"
    tail -60 "$log"
  fi
  summary+=("$line")
done
printf '%s\n' "${summary[@]}"
exit $status
