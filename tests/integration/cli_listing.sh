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

# l --json: one valid document whatever the names hold, with the facts the
# archive was made with (listing.ace is written to the byte by make_archives;
# the second archive is packed here and checked against its files).
check_json() {  # WHAT PYTHON-CHECKS (reads the document from $out; $1.. of argv follow)
  local what=$1 code=$2
  shift 2
  if python3 -c "import json, sys, zlib, os, time
d = json.load(open(sys.argv[1], encoding='utf-8'))
$code" "$out" "$@" >"$work/json.err" 2>&1; then pass; else fail "$what: $(tail -3 "$work/json.err")"; fi
}
run l --json -y "$A/listing.ace"
expect_rc 0 "l --json listing"
check_json "l --json listing.ace" '
e = {x["name"]: x for x in d["entries"]}
assert d["comment"] == "archive comment" and d["created"] == "1999-12-31T23:59:58", d
assert d["volumes"] == 3 and d["volume"] == 0 and d["complete"] is True and d["files"] == 3, d
h = e["hello.txt"]
assert (h["size"], h["crc"], h["time"], h["attributes"], h["method"]) == (1000, "5876A138", "2024-05-17T13:45:22", 39, "stored"), h
assert h["comment"] == "a file comment" and "comment" in h["flags"], h
assert "esc\x1b[31mred\x07.txt" in e, list(e)
s = e["split.bin"]
assert (s["volumes"], s["packed"], s["size"], s["comment"]) == (3, 3000, 3000, None), s'
if grep -q $'\x1b' "$out"; then fail "l --json: a raw escape character in the document"; else pass; fi

fresh json
mkdir in && printf 'hello\n' >in/a.txt && head -c 5000 /dev/zero >in/zeros.bin
run a -c "made for a test" --file-comment 'a.txt=the "first" one' j.ace in/.
expect_rc 0 "a for l --json"
run v --json j.ace
expect_rc 0 "v --json"
check_json "v --json of what was packed" '
assert d["comment"] == "made for a test" and d["solid"] is True, d
for x in d["entries"]:
    data = open(os.path.join(sys.argv[2], x["name"]), "rb").read()
    assert x["size"] == len(data) and int(x["crc"], 16) == zlib.crc32(data) ^ 0xFFFFFFFF, x  # as stored
    t = int(os.path.getmtime(os.path.join(sys.argv[2], x["name"]))) // 2 * 2
    assert x["time"] == time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(t)) and x["folder"] is False, x
z = next(x for x in d["entries"] if x["name"] == "zeros.bin")
assert z["method"] == "lz77" and z["packed"] < z["size"] and z["dictionary"] >= 1024, z
assert {x["name"]: x["comment"] for x in d["entries"]} == {"a.txt": "the \"first\" one", "zeros.bin": None}, d' in
for name in "$A/not-an-archive.ace" no-such.ace; do
  run l --json "$name"
  expect_rc 8 "l --json on $name"
  check_json "l --json on $name" 'assert d["entries"] == [] and d["complete"] is False, d'
done
run x --json j.ace
expect_rc 8 "--json only with l and v"

done_testing
