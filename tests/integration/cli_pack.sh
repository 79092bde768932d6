#!/usr/bin/env bash
# a -> x round trips of a real folder tree with every packing option, and
# what a says about names, comments and existing archives. In wine mode a
# fourth argument, the native kelvo, packs beside kelvo.exe.
. "$(dirname "$0")/cli_lib.sh"

# A real tree: documentation and templates Debian put on the machine (links
# resolved, so the comparison is of contents), and the generated tree.
real="$work/real"
mkdir -p "$real"
cp -rL /usr/share/doc/bash "$real/bash"
for t in /usr/share/cmake-*/Templates; do
  [ -d "$t" ] && cp -rL "$t" "$real/templates" && break
done
cp -r "$src/tree" "$real/generated"

i=0
while read -r opts; do
  i=$((i + 1))
  fresh "pack-$i"
  # shellcheck disable=SC2086
  run a $opts out.ace ../real
  expect_rc 0 "a $opts"
  expect_out "Packed " "a $opts: summary"
  mkdir x && cd x || exit 2
  run x -y ../out.ace
  expect_rc 0 "x of a $opts"
  expect_same_tree "$real" real "round trip a $opts"
  cd .. || exit 2
  case " $opts " in
    *" -v "*) [ -f out.C00 ] && pass || fail "a $opts: no second volume" ;;
    *) expect_missing out.C00 "a $opts: one volume only" ;;
  esac
  run v -y out.ace
  expect_rc 0 "v of a $opts"
  case " $opts " in
    *" -s "* | *" -m0 "*) expect_no_out "method lz77" "a $opts stores only" ;;
    *) expect_out "method lz77" "a $opts packs" ;;
  esac
  case " $opts " in
    *" -d 64k "*) expect_out "dictionary 64K" "a $opts: dictionary" ;;
    *" -d 10 "*) expect_out "dictionary 1K" "a $opts: dictionary" ;;
  esac
  run l -y out.ace
  case " $opts " in
    *" -n "*) expect_no_out "(solid)" "a $opts: not solid" ;;
    *) expect_out "(solid)" "a $opts: solid" ;;
  esac
  expect_out 'real\bash\copyright' "a $opts: names use backslashes"
done <<'OPTIONS'

-n
-s
-m0
-m1
-m9
-d 10
-d 64k
-v 200k
-n -v 150k
-s -v 100k
-m2 -d 12 -n -v 300k
OPTIONS

# "." packs what the folder holds, without its name, and leaves out the
# archive being written inside it.
cd "$real/generated" || exit 2
run a ../../dot.ace .
expect_rc 0 "a ."
run a self.ace .
expect_rc 0 "a . into the folder itself"
run l self.ace
if grep -q '  self\.ace$' "$out"; then fail "the archive holds itself"; else pass; fi
expect_out "docs\\guide.txt" "a .: names start below the folder"
rm -f self.ace
fresh dot
run x ../dot.ace
expect_rc 0 "x of a ."
expect_same_tree "$src/tree" . "round trip of a ."

# Comments: the archive's and an entry's, shown by v.
fresh comments
run a -c "The archive says hello" --file-comment 'generated\readme.txt=Read me first' c.ace ../real/generated
expect_rc 0 "a with comments"
run v c.ace
expect_out "comment: The archive says hello" "archive comment"
expect_out "comment: Read me first" "file comment"
run a --file-comment 'nothing\here=x' d.ace ../real/generated
expect_rc 8 "a file comment for an entry that is not packed"

# An existing archive is not replaced unless asked.
run a c.ace ../real/generated
expect_rc 8 "a over an existing archive"
expect_err "exists" "a over an existing archive"
run a -o c.ace ../real/generated
expect_rc 0 "a -o over an existing archive"
run v c.ace
expect_no_out "The archive says hello" "a -o replaced the archive"

# Files given one by one are stored under their own names.
fresh files
run a f.ace ../real/bash/copyright ../real/generated/one.txt
expect_rc 0 "a of single files"
run l f.ace
expect_out "  copyright" "single file copyright"
expect_out "  one.txt" "single file one.txt"

# Paths are stored as given; names that would collide are refused before
# anything is written; excludes and list files.
fresh paths
mkdir -p dir1 dir2 keep/obj
echo one >dir1/a.txt
echo two >dir2/a.txt
echo o >keep/obj/x.o
echo c >keep/x.c
run a dup.ace dir1/a.txt ./dir2/a.txt
expect_rc 0 "a of two a.txt in different folders"
run l dup.ace
expect_out "  dir1\\a.txt" "a keeps dir1\\a.txt"
expect_out "  dir2\\a.txt" "a keeps dir2\\a.txt"
echo top >a.txt
run a clash.ace a.txt dir2/.
expect_rc 8 "a of two inputs stored as a.txt"
expect_err "would be stored as a.txt" "a names the clash"
expect_missing clash.ace "a refused before writing"
run a up.ace dir1/../dir2/a.txt
expect_rc 8 "a of a path with .. inside"
expect_missing up.ace "a with .. wrote nothing"
printf 'keep\r\n\ndir1/a.txt\n' >list.txt
run a -x '*.o' -x dir1 listed.ace @list.txt dir2
expect_rc 0 "a -x with a list file"
run l listed.ace
expect_out "  keep\\x.c" "a @list packs what the list names"
expect_out "  dir2\\a.txt" "a packs the other inputs too"
expect_no_out "x.o" "a -x '*.o' leaves it out"
expect_no_out "dir1" "a -x dir1 leaves it out"
if [ "$mode" = native ]; then
  ln -s nowhere dir2/dangling
  run a link.ace dir2
  expect_rc 0 "a with a link to nothing"
  expect_err "dangling: a link to nothing" "a warns of a link to nothing"
fi

# A failed write leaves nothing behind and says why.
run a nosuch/out.ace dir1
expect_rc 7 "a into a missing folder"
expect_err "cannot create nosuch" "a says it cannot create the archive"
run a -v 20 tiny.ace dir1
expect_rc 8 "a -v too small for a header"
expect_err "too small" "a -v too small says so"
expect_missing tiny.ace "a -v too small wrote nothing"
ls | grep -q tmp && fail "a left a temporary file: $(ls)" || pass

# kelvo.exe is a 32-bit x87 program and the native tool a 64-bit one:
# the packer decides in integers only, so both make the same archive of the
# same files at every kind of level (chains, one parse, several parses).
native=${4:-}
if [ "$mode" = wine ] && [ -n "$native" ]; then
  fresh same-bytes
  mkdir bins && cp "$native" "$tool" bins/
  for level in 1 4 6 9; do
    run a "-m$level" win.ace ../real bins
    expect_rc 0 "a -m$level for the comparison"
    timeout 120 "$native" a "-m$level" native.ace ../real bins >/dev/null 2>&1 || fail "native kelvo a -m$level"
    expect_same_file native.ace win.ace "kelvo.exe and the native kelvo pack alike at -m$level"
    rm -f win.ace native.ace
  done
fi

done_testing
