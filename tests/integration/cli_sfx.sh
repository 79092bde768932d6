#!/usr/bin/env bash
# kelvo sfx end to end. One part per run:
#
#   native   the Linux self-extractor: the native launcher with the archive
#            appended; it unpacks, runs setup.exe and cleans up
#   windows  installers from the cross build's stub: the same bytes twice,
#            kelvo l reads them cleanly, refused inputs, an archive taken as
#            it is, signing with osslsigncode and reading the signed file
#   wine     such installers run under Wine: the title, the scratch folder's
#            name and the files setup.exe sees, a splash bitmap of our own on
#            the screen; the signed one runs too; kelvo.exe makes the same
#            bytes as kelvo
#
# usage: cli_sfx.sh native KELVO MAKE_ARCHIVES PART WIN_BUILD_DIR NATIVE_LAUNCHER
# The windows and wine parts exit 77 (skipped) without a cross build (or
# without osslsigncode, Wine, Xvfb).
. "$(dirname "$0")/cli_lib.sh"
part=${4:?part: native, windows or wine}
win_build=${5:-}
native_launcher=${6:-}
root="$(cd "$(dirname "$0")/../.." && pwd)"
skip() { echo "SKIP: $*"; exit 77; }
[ -n "$win_build" ] && [ -d "$win_build" ] && win_build=$(realpath "$win_build")
[ -n "$native_launcher" ] && [ -e "$native_launcher" ] && native_launcher=$(realpath "$native_launcher")

# od of a little-endian 32-bit field of a file.
u32_at() { od -An -tu4 -j"$2" -N4 "$1" | tr -d ' '; }
pe_header_at() { u32_at "$1" 60; }

case "$part" in
native)
  [ -x "$native_launcher" ] || skip "no native launcher"
  fresh native
  mkdir -p payload tmp
  # setup.exe: a shell script that reports what it finds.
  cat > payload/setup.exe <<'SCRIPT'
#!/bin/sh
{ printf 'args=%s\n' "$*"; ls -1R; } > "$KELVO_TEST_REPORT"
SCRIPT
  echo hello > payload/readme.txt
  echo inside > payload/guide.txt
  # (Without an extension kelvo l would look for inst.ACE.)
  run sfx --stub "$native_launcher" inst.run payload/.
  expect_rc 0 "sfx with the native launcher"
  expect_out "Made inst.run" "sfx names what it made"
  cmp -s -n "$(stat -c %s "$native_launcher")" "$native_launcher" inst.run && pass || fail "the launcher's bytes lead the installer"
  run l inst.run
  expect_rc 0 "l of the native installer"
  expect_out "guide.txt" "l lists the payload"
  TMPDIR="$work/native/tmp" KELVO_TEST_REPORT="$work/native/report" timeout 60 ./inst.run >"$out" 2>"$err"
  rc=$?
  expect_rc 0 "the native installer runs"
  grep -qx "args=-install -up" report && grep -qx "guide.txt" report && pass || fail "setup.exe saw its files: $(cat report 2>/dev/null)"
  expect_empty_dir tmp "nothing is left in the temporary folder"
  # The native launcher has no resources to set, and is used bare.
  run sfx --stub "$native_launcher" --title T inst2 payload/.
  expect_rc 8 "sfx --title with the native launcher"
  expect_err "native launcher" "--title refused for the native launcher"
  run sfx --stub inst.run inst3 payload/.
  expect_rc 8 "an installer as the native stub"
  expect_err "already carries an archive" "an installer is no native stub"
  # Names are exact on Linux: SETUP.EXE would not be started.
  mv payload/setup.exe payload/SETUP.EXE
  run sfx --stub "$native_launcher" inst4 payload/.
  expect_rc 8 "native: SETUP.EXE is not setup.exe"
  expect_err "the payload holds no setup.exe" "native: the reason"
  ;;

windows|wine)
  launcher="$win_build/launcher"
  stub="$launcher/kelvo-stub.exe"
  setup="$launcher/demo-setup/setup.exe"
  [ -n "$win_build" ] || skip "no cross build given (KELVO_WIN_BUILD_DIR)"
  [ -f "$stub" ] && [ -f "$setup" ] || skip "$stub or $setup missing"
  fresh "$part"
  mkdir payload
  cp "$setup" "$root"/launcher/demo/payload/* payload/
  ;;
*)
  echo "unknown part $part" >&2
  exit 2
  ;;
esac

if [ "$part" = windows ]; then
  # --- the same inputs give the same bytes ---------------------------------
  run sfx --stub "$stub" a.exe payload/.
  expect_rc 0 "sfx of the demo payload"
  expect_out "Packed 11 files" "packed as a packs"
  run sfx --stub "$stub" b.exe payload/.
  expect_same_file a.exe b.exe "the same installer twice"
  SOURCE_DATE_EPOCH=1700000000 run sfx --stub "$stub" c.exe payload/.
  pe=$(pe_header_at c.exe)
  [ "$(u32_at c.exe $((pe + 8)))" = 1700000000 ] && [ "$(u32_at a.exe $((pe + 8)))" = 0 ] && pass ||
    fail "time stamp from SOURCE_DATE_EPOCH, else 0"
  echo "stub $(stat -c %s "$stub") bytes, installer of the demo payload $(stat -c %s a.exe) bytes"

  # --- read back as its archive, and the headers agree --------------------
  run l a.exe
  expect_rc 0 "l of the installer"
  [ ! -s "$err" ] && pass || fail "l of the installer: standard error not empty"
  expect_out "11 files" "l lists eleven files"
  mkdir x && cd x || exit 2
  run x ../a.exe
  expect_rc 0 "x of the installer"
  expect_same_tree ../payload . "the installer unpacks to the payload"
  cd .. || exit 2
  if command -v osslsigncode >/dev/null; then
    osslsigncode verify a.exe >"$out" 2>&1
    expect_out "PE checksum" "osslsigncode reads the checksum"
    expect_no_out "invalid PE checksum" "the checksum is the one osslsigncode computes"
    [ "$(u32_at a.exe $(($(pe_header_at a.exe) + 24 + 64)))" != 0 ] && pass || fail "a checksum is set"
  fi

  # --- the installer's own options -----------------------------------------
  run sfx --stub "$stub" --title "Setting up Kelvo" --scratch-name kelvo-test.tmp \
    --splash "$launcher/splash.bmp" --icon "$launcher/main.ico" d.exe payload/.
  expect_rc 0 "sfx with title, scratch name, splash and icon"
  python3 -c 'import sys; sys.exit("Setting up Kelvo".encode("utf-16-le") not in open("d.exe", "rb").read())' &&
    pass || fail "the title is in the installer"
  run l d.exe
  expect_rc 0 "l of the installer with its own resources"

  # --- a finished archive is taken as it is --------------------------------
  run a -m9 p.ace payload/.
  run sfx --stub "$stub" p.exe p.ace
  expect_rc 0 "sfx of an archive"
  expect_no_out "Packed" "an archive is not packed again"
  [ ! -s "$err" ] && pass || fail "sfx of an archive: standard error not empty"
  run sfx --stub "$stub" -m1 p-m1.exe p.ace
  expect_rc 0 "sfx -m1 of an archive"
  expect_err "the packing options do not apply" "sfx -m1 of an archive: the warning"
  expect_same_file p.exe p-m1.exe "sfx -m1 of an archive: the archive as it is"
  python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read().find(open(sys.argv[1], "rb").read()) < 0)' p.ace p.exe &&
    pass || fail "the archive's bytes are in the installer"
  head -c -7 p.ace >cut.ace
  run sfx --stub "$stub" cut.exe cut.ace
  expect_rc 8 "a cut archive"
  expect_err "damaged header" "a cut archive: the reason"
  expect_missing cut.exe "a cut archive: nothing written"
  { cat p.ace; printf 'trailing'; } >tail.ace
  run sfx --stub "$stub" tail.exe tail.ace
  expect_rc 8 "an archive with bytes behind it"

  # --- refused inputs -------------------------------------------------------
  mkdir -p nosetup/sub && echo x >nosetup/readme.txt && cp "$setup" nosetup/sub/
  while IFS='|' read -r what code message args; do
    # shellcheck disable=SC2086
    eval "run sfx $args"
    expect_rc "$code" "$what"
    expect_err "$message" "$what: the reason"
  done <<CASES
no setup.exe at the top level|8|the payload holds no setup.exe|--stub "$stub" n.exe nosetup
a scratch name with a separator|8|--scratch-name|--stub "$stub" --scratch-name a/b n.exe payload/.
a scratch name with a backslash|8|--scratch-name|--stub "$stub" --scratch-name 'a\\b' n.exe payload/.
the scratch name ..|8|--scratch-name|--stub "$stub" --scratch-name .. n.exe payload/.
the scratch name .|8|--scratch-name|--stub "$stub" --scratch-name . n.exe payload/.
an empty scratch name|8|--scratch-name|--stub "$stub" --scratch-name '' n.exe payload/.
a splash that is no bitmap|8|not a BMP|--stub "$stub" --splash payload/readme.txt n.exe payload/.
an icon that is no icon|8|not an icon file|--stub "$stub" --icon payload/readme.txt n.exe payload/.
volumes|8|one archive|--stub "$stub" -v 100k n.exe payload/.
an existing output|8|exists|--stub "$stub" a.exe payload/.
a program without resources as the stub|8|has no resources|--stub "$setup" n.exe payload/.
a text file as the stub|8|neither a Windows executable|--stub payload/readme.txt n.exe payload/.
a missing stub|6|cannot read the stub|--stub missing.exe n.exe payload/.
CASES
  expect_missing n.exe "nothing written for refused inputs"
  # A splash of the wrong size: the build's bitmap, one pixel narrower.
  python3 - "$launcher/splash.bmp" narrow.bmp <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], "rb").read())
struct.pack_into("<i", b, 18, 320)
open(sys.argv[2], "wb").write(b)
PY
  run sfx --stub "$stub" --splash narrow.bmp n.exe payload/.
  expect_rc 8 "a 320 x 81 splash"
  expect_err "321 x 81" "a 320 x 81 splash: the reason"
  run sfx --stub "$stub" -o a.exe payload/.
  expect_rc 0 "an existing output with -o"

  # --- signing: inject, then sign -------------------------------------------
  if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
      -subj "/CN=Kelvo test signer" >/dev/null 2>&1
    osslsigncode sign -certs cert.pem -key key.pem -n "Kelvo test" -in a.exe -out signed.exe >"$out" 2>&1
    [ $? -eq 0 ] && pass || fail "osslsigncode sign"
    # The throwaway certificate signed itself: it is its own CA.
    osslsigncode verify -CAfile cert.pem signed.exe >"$out" 2>&1
    rc=$?
    expect_rc 0 "osslsigncode verify"
    expect_out "Signature verification: ok" "the signature verifies"
    run l signed.exe
    expect_rc 0 "l of the signed installer"
    [ ! -s "$err" ] && pass || fail "l of the signed installer: standard error not empty"
    # A signed installer as the stub: the signature cannot survive.
    run sfx --stub signed.exe resigned.exe payload/.
    expect_rc 0 "a signed stub"
    expect_err "signature is dropped" "a signed stub: the warning"
    expect_same_file a.exe resigned.exe "the signature dropped, the same installer"
  else
    echo "SKIP (signing): osslsigncode or openssl not installed"
  fi
fi

if [ "$part" = wine ]; then
  for program in wine Xvfb xdotool xdpyinfo; do
    command -v "$program" >/dev/null || skip "$program not installed"
  done
  # Wine turns Unix text (arguments, window titles for X) into Unicode by
  # the locale's character set: UTF-8, as users' desktops have it.
  export LC_ALL=C.UTF-8
  . "$root/scripts/wine-env.sh"
  wine_for "$stub" || skip "$KELVO_WINE_WHY"
  wine_env_init "${WINEPREFIX:-}" || { echo "FAIL: no Wine prefix"; exit 1; }
  x_display_start 1024 768 || { echo "FAIL: no X display"; exit 1; }
  trap 'wine_env_cleanup; cleanup' EXIT
  wine_fresh_session
  temp_dir="$(wine_temp_dir)"
  # `wine --version` answers even where the 32-bit loader (wine32) is not
  # installed; a program that cannot start is no fault of the installer.
  [ -n "$temp_dir" ] || skip "Wine starts no $(pe_machine "$stub") program here (for i386: is wine32 installed?)"
  [ -d "$temp_dir" ] || { echo "FAIL: no Wine temporary folder"; exit 1; }
  temp_listing() { (cd "$temp_dir" && find . -mindepth 1 -maxdepth 1 | sort); }
  temp_before="$(temp_listing)"

  # A title beyond any ANSI code page: the window is a Unicode one.
  run sfx --stub "$stub" --title "Kelvo sfx tëst ✓" --scratch-name kelvo-sfx.tmp \
    --icon "$launcher/main.ico" inst.exe payload/.
  expect_rc 0 "sfx for Wine"
  # run_installer EXE: runs it to its end; setup.exe writes its report.
  run_installer() {
    rm -f "$work/report.txt" "$work/report.lf"
    KELVO_SETUP_REPORT="$(wine_path "$work")\\report.txt" KELVO_SETUP_DELAY_MS=1500 \
      timeout -k 5 240 "$KELVO_WINE" "$1" >"$out" 2>"$err" &
    installer_pid=$!
    title_seen=no
    for ((i = 0; i < 1200; i++)); do
      if [ "$title_seen" = no ] && xdotool search --name "^$2\$" >/dev/null 2>&1; then
        title_seen=yes
      fi
      kill -0 "$installer_pid" 2>/dev/null || break
      sleep 0.1
    done
    wait "$installer_pid"
    rc=$?
    # Ended by SIGKILL that nothing here sent: rerun_when_killed.sh runs
    # the part once more.
    if [ "$rc" -eq 137 ]; then
      echo "the installer was killed by SIGKILL from outside the test"
      exit 75
    fi
    tr -d '\r' <"$work/report.txt" >"$work/report.lf" 2>/dev/null
  }
  run_installer inst.exe "Kelvo sfx tëst ✓"
  expect_rc 0 "the installer under Wine"
  [ "$title_seen" = yes ] && pass || fail "a window titled 'Kelvo sfx tëst ✓'"
  # The scratch folder is in the temporary folder, or in a private folder
  # of the run's own there.
  grep -qix 'folder=C:\\users\\[^\\]*\\Temp\\\(kelvo-[0-9a-f]\{16\}\\\)\?kelvo-sfx\.tmp' "$work/report.lf" &&
    pass || fail "setup.exe ran in the scratch folder kelvo-sfx.tmp: $(grep folder= "$work/report.lf")"
  [ "$(grep -c '^file=' "$work/report.lf")" -eq 11 ] && grep -qx "file=setup.exe" "$work/report.lf" &&
    grep -qx "file=readme.txt" "$work/report.lf" && pass || fail "setup.exe sees its eleven files"
  grep -qx "command-line=-install -up" "$work/report.lf" && pass || fail "setup.exe's command line"
  [ "$(temp_listing)" = "$temp_before" ] && pass || fail "nothing is left in the temporary folder"

  # A splash bitmap of our own is what the window shows, pixel for pixel:
  # a payload of many small files keeps the window up long enough to look.
  if command -v import >/dev/null && command -v compare >/dev/null; then
    python3 - own.bmp <<'PY'
import struct, sys
w, h = 321, 81
row = (w * 3 + 3) // 4 * 4
pixels = bytearray()
for y in range(h):
    line = bytearray()
    for x in range(w):
        line += bytes(((x * 5) & 0xFF, (y * 3) & 0xFF, (x ^ y) & 0xFF))
    pixels += line + bytes(row - len(line))
header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + info + pixels)
PY
    mkdir slow
    cp "$setup" slow/
    for ((i = 0; i < 2000; i++)); do printf '%0600d' "$i" >"slow/f$i.dat"; done
    run sfx --stub "$stub" --title "Kelvo splash test" --splash own.bmp slow.exe slow/.
    expect_rc 0 "sfx with a splash of its own"
    rm -f "$work/report.txt"
    KELVO_SETUP_REPORT="$(wine_path "$work")\\report.txt" timeout -k 5 240 "$KELVO_WINE" slow.exe >/dev/null 2>&1 &
    installer_pid=$!
    shown=no
    for ((i = 0; i < 600; i++)); do
      w=$(xdotool search --onlyvisible --name "^Kelvo splash test\$" 2>/dev/null | head -1)
      if [ -n "$w" ]; then
        eval "$(xdotool getwindowgeometry --shell "$w")"
        import -window root -crop "321x81+$X+$Y" +repage shot.png 2>/dev/null &&
          [ "$(compare -metric AE shot.png own.bmp null: 2>&1)" = 0 ] && shown=yes && break
      fi
      kill -0 "$installer_pid" 2>/dev/null || break
      sleep 0.1
    done
    wait "$installer_pid"
    [ "$shown" = yes ] && pass || fail "the window shows the splash bitmap given"
  fi

  # Made on Windows, the same bytes (the stub given by its Windows name).
  kelvo_exe="$win_build/tools/kelvo.exe"
  if [ -f "$kelvo_exe" ]; then
    timeout 120 "$KELVO_WINE" "$kelvo_exe" sfx --stub "$(wine_path "$stub")" --title "Kelvo sfx tëst ✓" \
      --scratch-name kelvo-sfx.tmp --icon "$(wine_path "$launcher/main.ico")" inst-win.exe payload/. >"$out" 2>"$err"
    rc=$?
    expect_rc 0 "kelvo.exe sfx"
    expect_same_file inst.exe inst-win.exe "kelvo.exe sfx makes the same installer"
  fi

  if command -v osslsigncode >/dev/null && command -v openssl >/dev/null; then
    openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
      -subj "/CN=Kelvo test signer" >/dev/null 2>&1
    osslsigncode sign -certs cert.pem -key key.pem -n "Kelvo test" -in inst.exe -out signed.exe >/dev/null 2>&1 &&
      pass || fail "osslsigncode sign"
    run_installer signed.exe "Kelvo sfx tëst ✓"
    expect_rc 0 "the signed installer under Wine"
    [ "$(grep -c '^file=' "$work/report.lf")" -eq 11 ] && pass || fail "the signed installer's setup.exe sees its files"
    if [ -f "$kelvo_exe" ]; then
      timeout 120 "$KELVO_WINE" "$kelvo_exe" l signed.exe >"$out" 2>"$err"
      rc=$?
      expect_rc 0 "kelvo.exe l of the signed installer"
      expect_out "11 files" "kelvo.exe lists the signed installer"
    fi
  fi
fi

done_testing
