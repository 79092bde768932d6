#!/usr/bin/env bash
# Times `kelvo x` of the payload corpus against `tar -xf` of the same tree,
# in the same run, alternating, each into a fresh folder:
#
#   scripts/bench-extract.sh [CORPUS_DIR] [--rounds N] [--kelvo PATH] [--out DIR]
#
# CORPUS_DIR holds payload/ and corpus.tar (/work/shared/bench/make-corpus.sh
# makes both; default $KELVO_CORPUS or build/bench-corpus). The archive is
# packed once with the default options and kept in the output folder
# (default build/bench-extract). No extracted tree is deleted during the run:
# on these machines deleting many files slows the next creates for minutes,
# which would charge one peer for the other's clean-up. Not part of the test
# suite: it takes minutes. KELVO_BASELINE=PATH also times another kelvo
# binary (an older build) in each round, for a before and after in the same
# minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

corpus="" rounds=3 kelvo="" out="$root/build/bench-extract"
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --kelvo) kelvo=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) corpus=$1; shift ;;
  esac
done
corpus=${corpus:-${KELVO_CORPUS:-$root/build/bench-corpus}}
[ -f "$corpus/corpus.tar" ] && [ -d "$corpus/payload" ] ||
  { echo "bench-extract.sh: $corpus has no payload/ and corpus.tar (make-corpus.sh OUT)" >&2; exit 2; }
corpus=$(cd "$corpus" && pwd)

if [ -z "$kelvo" ]; then
  [ -f build/host/build.ninja ] || cmake --preset host >/dev/null
  cmake --build build/host -j2 --target kelvo >/dev/null
  kelvo=build/host/tools/kelvo
fi
kelvo=$(realpath "$kelvo")
baseline=${KELVO_BASELINE:+$(realpath "$KELVO_BASELINE")}
peers="kelvo${baseline:+ baseline} tar"

mkdir -p "$out"
out=$(cd "$out" && pwd)
archive="$out/corpus.ace"
if [ ! -f "$archive" ] || [ "$kelvo" -nt "$archive" ] || [ "$corpus/corpus.tar" -nt "$archive" ]; then
  echo "== Packing the corpus" >&2
  rm -f "$archive"
  (cd "$corpus/payload" && "$kelvo" -q a "$archive" .) >/dev/null
fi

run_id=$(date +%s)
# one PEER ROUND: prints "PEER wall_ms cpu_ms" for one extraction into a
# folder of its own.
one() {
  local peer=$1 dir="$out/run-$run_id-$1-$2" t0 t1 cpu
  mkdir -p "$dir"
  sync
  t0=$(date +%s%N)
  if [ "$peer" = kelvo ] || [ "$peer" = baseline ]; then
    local tool=$kelvo
    [ "$peer" = baseline ] && tool=$baseline
    cpu=$( { /usr/bin/time -f '%U %S' "$tool" -q x -o "$dir" "$archive" >/dev/null; } 2>&1 | tail -1)
  else
    cpu=$( { /usr/bin/time -f '%U %S' tar -xf "$corpus/corpus.tar" -C "$dir"; } 2>&1 | tail -1)
  fi
  t1=$(date +%s%N)
  echo "$peer $(( (t1 - t0) / 1000000 )) $(awk '{printf "%d", ($1 + $2) * 1000}' <<<"$cpu")"
}

results="$out/results-$run_id.txt"
: >"$results"
for peer in $peers; do one "$peer" warm >/dev/null; done
for r in $(seq 1 "$rounds"); do
  for peer in $peers; do one "$peer" "$r" | tee -a "$results" >&2; done
done

echo "kelvo x against tar -xf, into $(df -T "$out" | awk 'NR==2 {print $2}'), $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "archive $(stat -c %s "$archive") bytes, tar $(stat -c %s "$corpus/corpus.tar") bytes; median of $rounds rounds"
python3 - "$results" $peers <<'PY'
import statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
med = {}
for peer in sys.argv[2:]:
    walls = [int(r[1]) for r in rows if r[0] == peer]
    cpus = [int(r[2]) for r in rows if r[0] == peer]
    med[peer] = (statistics.median(walls), statistics.median(cpus))
print(f"{'peer':8} {'wall s':>8} {'cpu s':>8} {'wall vs tar':>12}")
for peer, (w, c) in med.items():
    print(f"{peer:8} {w / 1000:8.2f} {c / 1000:8.2f} {w / med['tar'][0]:11.2f}x")
PY
