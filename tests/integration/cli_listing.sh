#!/usr/bin/env bash
# l and v: one row (or block) per entry with its facts, a total line,
# comments decoded, names made safe for a terminal; nothing written.
. "$(dirname "$0")/cli_lib.sh"
A=../archives

fresh list
run l "$A/stored.ace"
expect_rc 0 "l stored"
expect_out "Archive $A/stored.ace" "l heading"
expect_out "....A      60000      60000  100% 27573306  docs\\guide.txt" "l row of docs\\guide.txt"
expect_out "D....          0          0    0% FFFFFFFF  emptydir" "l row of a folder"
expect_out "525001     525001  100%           7 files, 5 folders" "l total"

run l "$A/lz-solid.ace"
expect_rc 0 "l lz-solid"
expect_out "Archive $A/lz-solid.ace (solid)" "l says solid"
expect_out "2024-05-17 13:45:22 ....A     300000" "l date, time, size of bin\\tool.exe"
expect_out "2001-09-09 01:46:40 D...." "l date and time of a folder"

run v "$A/lz-comments.ace"
expect_rc 0 "v lz-comments"
expect_out "  comment: Kelvo test archive with comments" "v archive comment"
expect_out "  comment: comment of docs\\guide.txt: " "v file comment"
expect_out "  method lz77, dictionary " "v method and dictionary"
expect_out "flags data comment solid" "v flags"

# Split entries: their pieces add up; the DOS stamp's extremes; attributes
# as letters; control characters in a name shown as '?'.
run v -y "$A/listing.ace"
expect_rc 0 "v listing"
expect_out "  created 1999-12-31 23:59:58" "v creation time"
expect_out "  comment: archive comment" "v archive comment"
expect_out "hello.txt" "v hello.txt"
expect_out "2024-05-17 13:45:22, attributes .RHSA, CRC 5876A138" "v attributes and CRC"
expect_out "  comment: a file comment" "v file comment"
expect_out "esc?[31mred?.txt" "v name with control characters"
if grep -q $'\x1b' "$out"; then fail "an escape character reached standard output"; else pass; fi
expect_out "size 3000, packed 3000 (100%), in 3 volumes, 2107-12-31 23:59:58" "v split entry"
expect_out "3 files, 4001 bytes, packed 4001 (100%)" "v total"

run l -y "$A/listing.ace"
expect_out "2107-12-31 23:59:58 ....A       3000       3000  100% ED8582A8  split.bin" "l split entry"
expect_empty_dir . "listing writes nothing"

# Listing a damaged archive: the engine's message and its status, no table.
run l "$A/not-an-archive.ace"
expect_rc 8 "l on no archive"
expect_no_out "Archive" "l on no archive prints no table"

done_testing
