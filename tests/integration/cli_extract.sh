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
  # Without paths: every folder entry lands at the top, empty.
  for d in bin docs deep nested emptydir; do
    expect_empty_dir "$d" "e $name: folder $d"
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

# --help and --version answer and leave the job alone.
run --help
expect_rc 0 "--help"
expect_out "Usage:" "--help"
run --version
expect_rc 0 "--version"
expect_out "kelvo " "--version"

done_testing
