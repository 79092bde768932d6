#!/usr/bin/env bash
# Names that would land outside the extraction folder (absolute, drive,
# '..', '/' inside a name): refused, nothing created outside, the entries
# after them intact, a non-zero exit. Under Wine this runs in a copy of the
# prefix without its Z: drive (Wine's view of the host's root), with the
# tool and the archives inside drive_c.
. "$(dirname "$0")/cli_lib.sh"

if [ "$mode" = wine ]; then
  prefix="$work/prefix"
  if ! cp -a "$WINEPREFIX" "$prefix"; then
    echo "cannot copy the Wine prefix $WINEPREFIX"; exit 1
  fi
  rm -f "$prefix/dosdevices/z:"
  export WINEPREFIX="$prefix"
  trap 'timeout 30 wineserver -k >/dev/null 2>&1; cleanup' EXIT
  root="$prefix/drive_c"            # what C:\ is
  base="$root/kelvo"                # C:\kelvo
  mkdir -p "$base"
  cp "$tool" "$base/kelvo.exe"
  tool="$base/kelvo.exe"
  cp "$arc"/hostile*.ace "$base/"
  A=..  # from C:\kelvo\<case>
else
  base="$work/base"
  mkdir -p "$base"
  cp "$arc"/hostile*.ace "$base/"
  A=..
fi

# Every place a refused name could have reached.
outside_names="kelvo_abs.txt kelvo_drive.txt kelvo_up.txt kelvo_up2.txt kelvo_slash.txt"
check_nothing_outside() {  # WHAT
  local where n
  for n in $outside_names; do
    for where in "$base" "$work" "${root:-/}"; do
      expect_missing "$where/$n" "$1: $n outside"
    done
  done
  expect_missing "$base/after.txt" "$1: after.txt outside"
}

for name in hostile hostile-solid; do
  cd "$base" && rm -rf "x-$name" && mkdir "x-$name" && cd "x-$name" || exit 2
  run x "$A/$name.ace"
  expect_rc 7 "x $name"
  for reason in "absolute path" "drive in name" "'..' in path"; do
    expect_err "Unsafe name refused ($reason)" "x $name: $reason"
  done
  expect_out "refused:" "x $name: refused entries are named"
  expect_same_file "$src/hostile/before.txt" before.txt "x $name: before.txt"
  expect_same_file "$src/hostile/after/after.txt" after/after.txt "x $name: the entry after the refused names"
  listing=$(cd "$base/x-$name" && find . | sort | tr '\n' ' ')
  [ "$listing" = ". ./after ./after/after.txt ./before.txt " ] && pass ||
    fail "x $name: extraction folder holds $listing"
  check_nothing_outside "x $name"

  # Without paths the stored folders are cut off, so only what is left of
  # a name can be refused ('/' on POSIX, '..' between slashes on Windows).
  cd "$base" && rm -rf "e-$name" && mkdir "e-$name" && cd "e-$name" || exit 2
  run e "$A/$name.ace"
  expect_rc 7 "e $name"
  expect_err "Unsafe name refused" "e $name"
  expect_same_file "$src/hostile/after/after.txt" after.txt "e $name: after.txt"
  expect_same_file "$src/hostile/kelvo_up2.txt" kelvo_up2.txt "e $name: the last part of a climbing name, here"
  check_nothing_outside "e $name"

  # Testing uses no names: nothing to refuse, nothing written.
  cd "$base" && rm -rf "t-$name" && mkdir "t-$name" && cd "t-$name" || exit 2
  run t "$A/$name.ace"
  expect_rc 0 "t $name"
  expect_empty_dir . "t $name writes nothing"
done

# A link to a folder standing in the destination is not followed on the
# way to an output file (Linux links are plain folders to Windows programs
# under Wine: native only).
if [ "$mode" = native ]; then
  fresh link
  mkdir elsewhere out
  ln -s ../elsewhere out/docs
  cd out || exit 2
  run x "$arc/stored.ace"
  expect_rc 7 "a link to a folder on the way"
  expect_err "docs is a link to a folder: nothing is made through it" "the link is named"
  expect_empty_dir ../elsewhere "nothing is written through the link"
  cd .. || exit 2
fi

done_testing
