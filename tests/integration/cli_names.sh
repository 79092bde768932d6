#!/usr/bin/env bash
# Names beyond ASCII. Stored names are UTF-8 as packed; a stored name that
# is not UTF-8 is read as code page 437: both builds give the same file
# names from the same archive. kelvo.exe expands the wildcards that cmd.exe
# leaves to the program.
#   cli_names.sh native kelvo     make_archives
#   cli_names.sh wine   kelvo.exe make_archives kelvo   (the native tool is the other side)
. "$(dirname "$0")/cli_lib.sh"
export LC_ALL=C.UTF-8
native=$(realpath "${4:-$tool}")
# other ARGS...: the native tool, for the side that is not under test.
other() { timeout 120 "$native" "$@" >"$work/other.out" 2>&1 || fail "native kelvo $*: $(tail -3 "$work/other.out")"; }

# UTF-8 names, packed by one side and unpacked by the other, both ways
# (natively the same tool on both sides).
names=("café.txt" "漢字.txt" "dir é/naïve ☃.txt")
for way in tool-unpacks tool-packs; do
  fresh "$way"
  mkdir -p "src/dir é"
  for n in "${names[@]}"; do printf '%s\n' "$n" >"src/$n"; done
  if [ "$way" = tool-unpacks ]; then
    other a n.ace src/.
    run x n.ace -o got
  else
    run a n.ace src/.
    other x n.ace -o got
  fi
  expect_rc 0 "$way: the tool's run"
  expect_same_tree src got "$way: names as packed"
  run l n.ace
  for n in "café.txt" "漢字.txt" 'dir é\naïve ☃.txt'; do expect_out "$n" "$way: l shows $n"; done
done

# Stored names that are not UTF-8 (packed from a Linux file named so): code
# page 437, in the listing and on disk.
fresh cp437
printf 'old\n' >$'caf\x82 \xe1\xb0.txt'
other a cp.ace $'caf\x82 \xe1\xb0.txt'
run x cp.ace -o got
expect_rc 0 "x of a code page 437 name"
if [ -f "got/café ß░.txt" ] && [ "$(cat "got/café ß░.txt")" = old ]; then pass; else
  fail "code page 437 name: got $(ls got | od -c | head -3)"; fi
run l cp.ace
expect_out "café ß░.txt" "l of a code page 437 name"

# Wildcards that reach the program: kelvo.exe matches them (only in the last
# component) and fails on one that matches nothing; on Linux the shell has
# expanded what it could, and what is left is a name.
fresh wild
mkdir sub && printf a >a.txt && printf b >b.txt && printf c >c.dat && printf d >sub/d.txt
if [ "$mode" = wine ]; then
  run a w.ace '*.txt' 'sub/*.txt'
  expect_rc 0 "a with wildcards"
  other l w.ace
  for n in a.txt b.txt 'sub\d.txt'; do
    if grep -qF "$n" "$work/other.out"; then pass; else fail "wildcards: $n not packed"; fi
  done
  if grep -qF c.dat "$work/other.out"; then fail "wildcards: c.dat packed"; else pass; fi
  run a none.ace '*.nothing'
  expect_rc 8 "a wildcard that matches nothing"
  expect_err "no file or folder matches *.nothing" "the message names the pattern"
  expect_missing none.ace "nothing written for a pattern that matches nothing"
else
  run a w.ace '*.txt'
  expect_rc 8 "a literal * on Linux"
  expect_err "no such file or folder: *.txt" "a literal * is a name"
fi

done_testing
