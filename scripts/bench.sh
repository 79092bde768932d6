#!/usr/bin/env bash
# Builds the benchmark in build/bench (Release) and runs it on the corpus.
#   scripts/bench.sh [CORPUS_DIR] [kelvo_bench options...]
# Without CORPUS_DIR the ~106 MB installer-payload corpus is made once in
# build/bench-corpus (by /work/shared/bench/make-corpus.sh, which installs
# the Debian packages it draws from) or taken from $KELVO_CORPUS.
# Not part of the test suite: it takes minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

corpus=""
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  corpus=$1
  shift
fi
if [ -z "$corpus" ]; then
  corpus=${KELVO_CORPUS:-}
fi
if [ -z "$corpus" ]; then
  out="$root/build/bench-corpus"
  if [ ! -d "$out/payload" ]; then
    maker=${KELVO_CORPUS_MAKER:-/work/shared/bench/make-corpus.sh}
    if [ ! -f "$maker" ]; then
      echo "bench.sh: give a corpus folder, or set KELVO_CORPUS_MAKER to make-corpus.sh" >&2
      exit 2
    fi
    bash "$maker" "$out" >&2
  fi
  corpus="$out/payload"
fi

cmake --preset bench >/dev/null
cmake --build --preset bench -j2 >/dev/null
exec build/bench/bench/kelvo_bench "$corpus" "$@"
