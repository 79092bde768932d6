#!/usr/bin/env bash
# Exit codes and messages of the failure cases: the job's status is the
# tool's exit code.
. "$(dirname "$0")/cli_lib.sh"
A=../archives

# Usage failures (8), found before anything is opened: no "Fatal" message,
# a hint from the tool instead.
fresh usage
for args in "" "x" "xy $A/stored.ace" "x -z $A/stored.ace" "x - $A/stored.ace" "x -q $A/stored.ace"; do
  # shellcheck disable=SC2086
  run $args
  expect_rc 8 "kelvo $args"
  expect_no_err "Fatal:" "kelvo $args shows no engine message"
  expect_err "bad command line" "kelvo $args hints at the usage"
done
# An unknown command letter is seen only once the archive is open.
# Usage errors say what was wrong.
run x -q "$A/stored.ace"
expect_err "unknown switch -q after the command; options of the tool go before it" "a tool option after the command"
run x
expect_err "no archive name after the command" "no archive name"
run q "$A/stored.ace"
expect_rc 8 "unknown command letter"
expect_err "bad command line" "unknown command letter"
run --frobnicate x "$A/stored.ace"
expect_rc 8 "unknown tool option"
expect_empty_dir . "usage failures write nothing"

# Archives that cannot be opened (8): a missing one with the reason from
# the system, one that is no archive with the engine's message.
run x no-such-archive.ace
expect_rc 8 "missing archive"
expect_err "cannot open no-such-archive.ace: No such file or directory" "missing archive"
run x "$A/not-an-archive.ace"
expect_rc 8 "not an archive"
expect_err "Fatal: Archive data is damaged" "not an archive"

# One entry with a wrong CRC: kept, the others extracted, then 9.
fresh crc
run x "$A/crc.ace"
expect_rc 9 "CRC error"
expect_err "Fatal: CRC error" "CRC error message"
expect_out "Extracting bad.txt ... CRC error" "the entry with the wrong CRC is named"
expect_out "Extracting last.txt ... OK" "the entry after it is extracted"
[ -f bad.txt ] && [ -f first.txt ] && [ -f last.txt ] && pass || fail "CRC error: files kept and extracted"
run t "$A/crc.ace"
expect_rc 9 "t with a CRC error"

# Unknown method, refused entry: "Decompression failed", 10, nothing after.
for name in method refused; do
  fresh "$name"
  run x "$A/$name.ace"
  expect_rc 10 "$name"
  expect_err "Fatal: Decompression failed" "$name"
  expect_missing bad.txt "$name: no file for the failed entry"
  expect_missing last.txt "$name: the walk ends there"
  [ -f first.txt ] && pass || fail "$name: the entry before it is extracted"
done

# A damaged header in the middle ends the job's walk quietly (status 0);
# the tool says that the rest was not read and fails with 8.
fresh header
run x "$A/damaged-header.ace"
expect_rc 8 "damaged header"
expect_err "Archive data is damaged: the header at byte" "damaged header message"
expect_err "entries after it were not processed" "damaged header warning"
[ -f first.txt ] && pass || fail "damaged header: the entry before it is extracted"
expect_missing last.txt "damaged header: nothing after it"

# Cut short inside an entry's data: the CRC check catches it, and the
# tool says that the archive ends early; a listing of it fails with 8.
fresh truncated
run x "$A/truncated.ace"
expect_rc 9 "truncated archive"
expect_err "the archive ends early" "truncated archive named"
run l "$A/truncated.ace"
expect_rc 8 "l of a truncated archive"

# A read-only file in the way: the message, the entry skipped, the rest
# extracted; the job ends with 0, the tool with 7 (an entry not written).
fresh readonly
printf 'keep me' >readme.txt
chmod 444 readme.txt
run x "$A/lz-solid.ace"
expect_rc 7 "read-only file in the way"
expect_err "exit code 7 (entries not written)" "read-only file in the way: the exit line"
expect_err "Fatal: Could not delete file or directory. Access denied." "read-only file in the way"
expect_out "Extracting readme.txt ... not written" "the skipped entry is named"
[ "$(cat readme.txt)" = "keep me" ] && pass || fail "the read-only file is left as it was"
expect_same_file "$src/tree/bin/tool.exe" bin/tool.exe "entries after the skipped one (solid)"
chmod 644 readme.txt

# A file where a folder must be made: status 7.
fresh blocked
printf 'not a folder' >docs
run x "$A/stored.ace"
expect_rc 7 "a file where a folder should be"
expect_err "exit code 7" "a file where a folder should be"

# The name is completed with .ACE; one without an extension that exists
# as given (and not with .ACE) is opened as given.
fresh missing
run t no-such-archive
expect_err "cannot open no-such-archive.ACE" "missing archive: the completed name"
cp "$A/stored.ace" noext
run t noext
expect_rc 0 "a name without an extension opened as given"

# Packing: bad options and inputs are usage failures.
fresh pack
run a -d 33 out.ace "$src/tree"
expect_rc 8 "a -d 33"
run a -v 0 out.ace "$src/tree"
expect_rc 8 "a -v 0"
run a out.ace no-such-folder
expect_rc 8 "a with a missing input"
run a out.ace
expect_rc 8 "a with nothing to pack"
expect_empty_dir . "failed packing writes nothing"

done_testing
