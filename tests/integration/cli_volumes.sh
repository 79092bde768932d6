#!/usr/bin/env bash
# Volume sets: the volumes that are there are opened without asking, with
# -y or without it; the prompt is for a missing one (Y goes on, N gives up
# with 3, the end of input gives up).
. "$(dirname "$0")/cli_lib.sh"
A=../archives

for name in stored-vol lz-vol lz-vol-nonsolid; do
  for cmd in x t; do
    fresh "$cmd-y-$name"
    run "$cmd" -y "$A/$name.ace"
    expect_rc 0 "$cmd -y $name"
    expect_no_err "Insert the volume" "$cmd -y $name asks nothing"
    [ "$cmd" = x ] && expect_same_tree "$src/tree" . "x -y $name"
  done

  fresh "present-$name"
  run x "$A/$name.ace"
  expect_rc 0 "x $name, every volume there"
  expect_no_err "Insert the volume" "x $name asks nothing"
  expect_same_tree "$src/tree" . "x $name"

  fresh "lower-$name"
  run x -Yes "$A/$name.ace"
  expect_rc 0 "x -Yes $name"
  expect_same_tree "$src/tree" . "x -Yes $name"
done

# A missing volume: other keys are ignored until an answer comes; the end
# of input gives up (3).
fresh keys
cp "$arc"/lz-vol.* .
rm lz-vol.C00
run_with_input $'q\n7n' t lz-vol.ace
expect_rc 3 "ignored keys, then n"
expect_err "Insert the volume lz-vol.C00" "the prompt names the volume it waits for"
run t lz-vol.ace
expect_rc 3 "a missing volume with no input"

# A missing volume with -y: the set cannot go on (status 5).
fresh missing
cp "$arc"/lz-vol.* .
rm lz-vol.C00
mkdir out && cd out || exit 2
run x -y ../lz-vol.ace
expect_rc 5 "x -y with a volume missing"
expect_err "Fatal: Error while reading data. Archive seems to be damaged." "x -y with a volume missing"

# A missing volume without -y: the prompt waits for it; giving up is 3.
run_with_input "N" x ../lz-vol.ace
expect_rc 3 "missing volume, answer N"
expect_err "Insert the volume ../lz-vol.C00" "the prompt names the missing volume"

# Listing a set walks every volume and adds up the pieces.
fresh list
run l -y "$A/stored-vol.ace"
expect_rc 0 "l -y stored-vol"
expect_out "525001     525001  100%           7 files" "l -y stored-vol totals"
run v -y "$A/listing.ace"
expect_rc 0 "v -y listing"
expect_out "size 3000, packed 3000 (100%), in 3 volumes" "v -y: a split entry's pieces"

# A later volume of a set is no place to start: nothing is done, status 0.
fresh second
run x "$A/second-volume.ace"
expect_rc 0 "x on a second volume"
expect_err "is volume 1 of a set" "x on a second volume explains"
expect_empty_dir . "x on a second volume writes nothing"

# Packing a set over an older, longer one of the same name: the older set's
# later volumes go (they would be read as the new set's continuation), up to
# the first file of the sequence that is not one of its volumes.
fresh shorter
head -c 45000 /dev/urandom >big.bin
run a -s -v 10k set.ace big.bin
expect_rc 0 "a -v 10k"
if [ -f set.C02 ] && [ -f set.C03 ]; then pass; else fail "a -v 10k wrote $(ls)"; fi
printf 'not a volume\n' >set.C03
printf 'small\n' >small.txt
run a -s -v 10k --overwrite set.ace small.txt
expect_rc 0 "a -v over a longer set"
expect_err "removed 3 volumes left by an older archive of this name: set.C00 ... set.C02" "the removal is reported"
expect_missing set.C00 "the older set's volume"
expect_missing set.C02 "the older set's last volume"
if [ "$(cat set.C03 2>/dev/null)" = "not a volume" ]; then pass; else fail "set.C03, no volume, was touched"; fi
run t set.ace
expect_rc 0 "t of the new, shorter set"

done_testing
