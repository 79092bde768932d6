#!/usr/bin/env bash
# Packing against zstd and xz at the same 1 MiB window, in one run:
#   scripts/bench-pack.sh [CORPUS_DIR] [LEVEL...]
# CORPUS_DIR holds payload/ and corpus.tar (default /work/corpus, or
# $KELVO_CORPUS). Levels default to 1 6 9. For each packer it prints the
# size (bytes and % of the tar), processor time (user + system), wall time
# and peak resident memory, from /usr/bin/time; every kelvo archive is
# tested with kelvo t. Uses the host build's kelvo (built here if missing);
# zstd and xz from Debian (apt-get install zstd xz-utils). Not a test:
# it takes minutes. KELVO_BASELINE=PATH also runs that kelvo binary (an
# older build, say) at each level, beside this one, for a before and after
# in the same minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus=${1:-${KELVO_CORPUS:-/work/corpus}}
[ $# -gt 0 ] && shift
levels=${*:-1 6 9}
tar=$corpus/corpus.tar
payload=$corpus/payload
for tool in zstd xz /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench-pack.sh: $tool is missing (apt-get install zstd xz-utils time)" >&2; exit 2; }
done
[ -f "$tar" ] && [ -d "$payload" ] || { echo "bench-pack.sh: $corpus needs payload/ and corpus.tar" >&2; exit 2; }
kelvo=$root/build/host/tools/kelvo
[ -x "$kelvo" ] || { cmake --preset host >/dev/null && cmake --build --preset host -j2 --target kelvo >/dev/null; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar_size=$(stat -c %s "$tar")

# run NAME OUTPUT COMMAND...: times the command, prints one row.
run() {
  local name=$1 output=$2
  shift 2
  /usr/bin/time -f "%U %S %e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
  read -r user sys wall rss <"$work/time"
  local size
  size=$(cat "$output"* | wc -c)
  awk -v n="$name" -v s="$size" -v t="$tar_size" -v u="$user" -v y="$sys" -v w="$wall" -v m="$rss" \
    'BEGIN { printf "%-22s %12d %7.3f %% %8.1f %8.1f %8.1f\n", n, s, 100 * s / t, u + y, w, m / 1024 }'
}

echo "corpus: $tar ($tar_size bytes), $(find "$payload" -type f | wc -l) files; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-22s %12s %9s %8s %8s %8s\n" packer bytes "% of tar" "cpu s" "wall s" "peak MB"
baseline=${KELVO_BASELINE:-}
for level in $levels; do
  if [ -n "$baseline" ]; then
    run "baseline -m$level" "$work/b$level.ace" "$baseline" -q a "-m$level" "$work/b$level.ace" "$payload/."
    rm -f "$work/b$level.ace"*
  fi
  run "kelvo a -m$level" "$work/k$level.ace" "$kelvo" -q a "-m$level" "$work/k$level.ace" "$payload/."
  "$kelvo" t "$work/k$level.ace" >/dev/null || { echo "bench-pack.sh: kelvo t failed on -m$level" >&2; exit 1; }
done
run "zstd -19 --long=20" "$work/t.zst" zstd -q -19 --long=20 -f -o "$work/t.zst" "$tar"
run "xz 9e dict=1MiB" "$work/t.xz" sh -c "xz -T1 --lzma2=preset=9e,dict=1MiB -c '$tar' > '$work/t.xz'"
