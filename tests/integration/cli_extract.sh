#!/usr/bin/env bash
# x, e and t on solid and non-solid archives: stored and LZ77 entries,
# subfolders, folder entries, comments, junk before the archive.
. "$(dirname "$0")/cli_lib.sh"
A=../archives  # from every folder made by fresh

for name in stored stored-solid junk lz-solid lz-nonsolid lz-comments; do
  fresh "x-$name"
  run x "$A/$name.ace"
  expect_rc 0 "x $name"
  expect_same_tree "$src/tree" . "x $name"
  expect_out 'Extracting docs\deep\nested\data.bin ... OK' "x $name: entry line"
  expect_out "Extracted 7 files, 5 folders (525001 bytes): all OK" "x $name: summary"

  fresh "e-$name"
  run e "$A/$name.ace"
  expect_rc 0 "e $name"
  for f in "$src"/flat/*; do
    expect_same_file "$f" "$(basename "$f")" "e $name"
  done
  # Without paths the folder entries have no place: none is made.
  for d in bin docs deep nested emptydir; do
    expect_missing "$d" "e $name: no folder $d"
  done

  fresh "t-$name"
  run t "$A/$name.ace"
  expect_rc 0 "t $name"
  expect_out 'Testing bin\tool.exe ... OK' "t $name: entry line"
  expect_out "Tested 7 files, 5 folders (525001 bytes): all OK" "t $name: summary"
  expect_empty_dir . "t $name writes nothing"
done

# The command letter's case does not matter; -q keeps only the summary.
fresh upper
run -q X "$A/lz-solid.ace"
expect_rc 0 "-q X"
expect_same_tree "$src/tree" . "-q X"
expect_no_out "Extracting" "-q prints no entry lines"
expect_out "all OK" "-q still prints the summary"

# Extracting again over the same files replaces them.
run x "$A/lz-nonsolid.ace"
expect_rc 0 "x over an earlier extraction"
expect_same_tree "$src/tree" . "x over an earlier extraction"

# A name without an extension is completed with .ACE.
fresh completion
cp "$arc/lz-solid.ace" KIT.ACE
run x KIT
expect_rc 0 "x KIT opens KIT.ACE"
if diff -r -x KIT.ACE "$src/tree" . >"$work/diff" 2>&1; then pass; else fail "x KIT: $(head -3 "$work/diff")"; fi

# Standard output is not a terminal here: no progress bar, no carriage returns.
if grep -q $'\r' "$out.raw" && [ "$mode" = native ]; then
  fail "carriage returns in redirected output"
else
  pass
fi

# -o DIR: into that folder, made when missing; names and wildcards after
# the archive select entries (a folder name selects what it holds).
fresh select
run x -o out/inner "$A/lz-solid.ace" 'docs/deep' readme.txt
expect_rc 0 "x -o with names"
expect_same_file "$src/tree/docs/deep/nested/data.bin" out/inner/docs/deep/nested/data.bin "a folder name selects its files"
expect_same_file "$src/tree/readme.txt" out/inner/readme.txt "a name selects its entry"
expect_missing out/inner/one.txt "entries not named are left out"
expect_missing out/inner/docs/guide.txt "a folder name selects only that folder"
run t "$A/lz-solid.ace" '*.exe'
expect_rc 8 "* crosses no separator"
run t "$A/lz-solid.ace" 'bin\*.exe' no-such-name
expect_rc 8 "a name that matches nothing"
expect_err "nothing in the archive matches no-such-name" "the unmatched name is named"
expect_out 'Testing bin\tool.exe ... OK' "a wildcard within a folder"

# An archive packed by the tool, with the files' own times.
fresh overwrite
cp -rp "$src/tree" tree
touch -d '2001-01-01 12:00' tree/one.txt tree/empty.dat
cd tree && run a ../own.ace . && cd ..
expect_rc 0 "a of the tree"
run x own.ace
# Each file gets its stored modification time back (two-second steps).
for f in one.txt docs/guide.txt bin/tool.exe; do
  want=$(stat -c %Y "tree/$f")
  got=$(stat -c %Y "$f")
  [ $((got - want)) -le 2 ] && [ $((want - got)) -le 2 ] && pass || fail "time of $f: $got, stored $want"
done

# Files already there: -aos keeps them, -aoa replaces them, -u replaces
# only older ones; without a terminal and without a switch they are replaced.
printf 'mine' >readme.txt
touch -d '2000-01-01' one.txt
printf 'newer' >empty.dat
run x -aos own.ace
expect_rc 0 "x -aos"
expect_out "readme.txt ... skipped (an existing file is kept)" "x -aos names what it kept"
[ "$(cat readme.txt)" = mine ] && pass || fail "x -aos keeps the file"
run x -u own.ace
expect_rc 0 "x -u"
[ "$(cat empty.dat)" = newer ] && pass || fail "x -u keeps a newer file"
expect_same_file tree/one.txt one.txt "x -u replaces an older file"
run x -aoa own.ace
expect_same_file tree/readme.txt readme.txt "x -aoa replaces"
printf 'mine' >readme.txt
run x own.ace
expect_same_file tree/readme.txt readme.txt "no terminal, no switch: replaced"

# --help and --version answer and leave the job alone.
run --help
expect_rc 0 "--help"
expect_out "Usage:" "--help"
# On Windows a file gets its entry's read-only bit (Wine keeps it as the
# file's lack of write permissions) and its time; the bit is given last,
# once the entry has ended well.
if [ "$mode" = wine ]; then
  fresh readonly-entry
  run x -y "$A/listing.ace"
  [ "$(stat -c %a hello.txt)" = 444 ] && pass || fail "hello.txt: mode $(stat -c %a hello.txt), not read-only"
  [ "$(date -r hello.txt '+%F %T')" = "2024-05-17 13:45:22" ] && pass || fail "hello.txt: time $(date -r hello.txt)"
fi

run --version
expect_rc 0 "--version"
expect_out "kelvo " "--version"

done_testing
