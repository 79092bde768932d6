#!/usr/bin/env bash
# The host build under AddressSanitizer and UndefinedBehaviorSanitizer, and
# its whole CTest suite: unit tests, the console tool's integration scripts
# and the fuzz corpora replayed (the Wine tests skip: no cross build here).
#
#   scripts/sanitize.sh [build folder]      default build/asan
#
# Any sanitizer report fails the test it happens in.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build/asan}"
jobs=$(nproc)

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

cmake --preset asan -B "$dir" -DKELVO_WIN_BUILD_DIR="" >/dev/null
cmake --build "$dir" -j "$jobs"
cd "$dir"
ctest --output-on-failure -j "$jobs"
