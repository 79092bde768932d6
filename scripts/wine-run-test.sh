#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest; exit 77 (skipped) where
# Wine cannot start 32-bit programs at all, so that such a machine still
# builds and checks everything else.
#
# usage: wine-run-test.sh PROGRAM.exe [ARGS...]
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if ! wine_runs_32bit; then
  echo "SKIP: $(wine_cannot_run)"
  exit 77
fi
exec wine "$@"
