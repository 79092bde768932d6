#!/usr/bin/env bash
# Runs a Windows test program under Wine for CTest: 32-bit Wine for the
# i686 build, 64-bit Wine for the x86_64 one. Exit 77 (skipped) where that
# Wine cannot run here, so that such a machine still builds and checks
# everything else.
#
# usage: wine-run-test.sh PROGRAM.exe [ARGS...]
set -uo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if ! wine_for "$1"; then
  echo "SKIP: $KELVO_WINE_WHY"
  exit 77
fi
wine_env_init "${WINEPREFIX:-}" || { echo "no Wine prefix"; exit 1; }
exec "$KELVO_WINE" "$@"
