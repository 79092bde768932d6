# Shared Wine and X helpers for the installer's scripts and tests.
# Source it:  . scripts/wine-env.sh
#
#   wine_for PROGRAM.exe     picks the Wine that runs it (KELVO_WINE, WINEARCH)
#   wine_build_arch          the cross build Wine can run here (i686, x86_64)
#   wine_env_init [PREFIX]   throwaway prefix of that kind (warmed once), quiet Wine
#   x_display_start          a private Xvfb when DISPLAY is unset (stopped by
#                            x_display_stop, which wine_env_cleanup calls)
#   wine_env_cleanup         stops the Xvfb this shell started
#   wine_timeout SECONDS ... runs a Wine command under timeout
#   wine_fresh_session       ends the prefix's server, so that the next
#                            program starts a desktop on our display
#   wine_runs_32bit          whether Wine can start 32-bit programs here
#                            (wine_cannot_run says why not)
#   pe_machine PROGRAM.exe   i386 or x86_64

KELVO_XVFB_PID=""

# Wine runs 32-bit Windows programs as 32-bit Linux processes. Some
# kernels (virtual machines among them) have IA-32 emulation switched off:
# every 32-bit execve fails with ENOEXEC, Wine included. `wine --version`
# already execs the 32-bit loader, so it tells cheaply. There 64-bit Wine
# still runs the 64-bit cross build of the same sources
# (cmake/mingw-x86_64.cmake), which proves the same Win32 code.
# Debian's `wine` falls back to the 64-bit loader when wine32 is missing,
# so the 32-bit loader itself is asked.
WINE32_LOADER=/usr/lib/wine/wine
wine_runs_32bit() {
  command -v wine >/dev/null 2>&1 && [ -x "$WINE32_LOADER" ] && timeout 60 "$WINE32_LOADER" --version >/dev/null 2>&1
}

# The 64-bit loader, when it is installed and runs (Debian keeps it out of
# PATH, since `wine` picks it only when wine32 is missing).
wine64_loader() {
  local w
  for w in "$(command -v wine64 2>/dev/null)" /usr/lib/wine/wine64; do
    if [ -n "$w" ] && [ -x "$w" ] && timeout 60 "$w" --version >/dev/null 2>&1; then
      echo "$w"
      return 0
    fi
  done
  return 1
}

wine_cannot_run() {
  if ! command -v wine >/dev/null 2>&1; then
    echo "Wine is not installed"
  elif [ ! -x "$WINE32_LOADER" ]; then
    echo "32-bit Wine (Debian's wine32:i386) is not installed"
  else
    echo "Wine cannot start 32-bit programs on this machine (its kernel runs no 32-bit code: IA-32 emulation is off)"
  fi
}

# pe_machine FILE: i386 or x86_64, read from the program's PE header.
pe_machine() {
  local pe machine
  pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$pe" ] || return 1
  machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
  case "$machine" in
    014c) echo i386 ;;
    8664) echo x86_64 ;;
    *) return 1 ;;
  esac
}

# wine_for PROGRAM.exe: sets KELVO_WINE (the loader that runs it) and
# WINEARCH (the kind of prefix it needs); or fails, with the reason in
# KELVO_WINE_WHY.
KELVO_WINE="" KELVO_WINE_WHY=""
wine_for() {
  case "$(pe_machine "$1")" in
    i386)
      if wine_runs_32bit; then
        KELVO_WINE=wine
        export WINEARCH=win32
        return 0
      fi
      KELVO_WINE_WHY="$(wine_cannot_run)"
      ;;
    x86_64)
      if KELVO_WINE="$(wine64_loader)"; then
        export WINEARCH=win64
        return 0
      fi
      KELVO_WINE_WHY="64-bit Wine (Debian's wine64) is not installed"
      ;;
    *)
      KELVO_WINE_WHY="$1 is not a Windows program (or is missing)"
      ;;
  esac
  return 1
}

# The cross build that Wine can run here: i686 where the kernel runs 32-bit
# code, else x86_64 when 64-bit Wine is there; nothing otherwise.
wine_build_arch() {
  if wine_runs_32bit; then
    echo i686
  elif wine64_loader >/dev/null; then
    echo x86_64
  else
    return 1
  fi
}

# wine_env_init [PREFIX]: a prefix of the kind WINEARCH names (call
# wine_for first), warmed once; quiet Wine.
wine_env_init() {
  local prefix="${1:-${WINEPREFIX:-}}"
  export WINEARCH="${WINEARCH:-win32}"
  KELVO_WINE="${KELVO_WINE:-wine}"
  if [ -z "$prefix" ]; then
    prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/e-wineprefix-$WINEARCH"
  fi
  mkdir -p "$prefix"
  prefix="$(cd "$prefix" && pwd)"
  export WINEPREFIX="$prefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG="${WINEDEBUG:--all}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    timeout 300 "$KELVO_WINE" wineboot -i >/dev/null 2>&1 || true
    timeout 60 wineserver -w || true
  fi
  [ -f "$WINEPREFIX/system.reg" ]
}

# Starts Xvfb (1024 x 768, 24-bit by default) when there is no display.
# Xvfb picks a free display number itself (-displayfd), so scripts running
# side by side never share or steal one.
x_display_start() {
  local width="${1:-1024}" height="${2:-768}"
  if [ -n "${DISPLAY:-}" ] && [ -z "$KELVO_XVFB_PID" ]; then
    return 0
  fi
  local number_file i n
  number_file="$(mktemp)"
  Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
  KELVO_XVFB_PID=$!
  for i in $(seq 1 100); do
    n="$(tr -dc 0-9 <"$number_file")"
    if [ -n "$n" ]; then
      rm -f "$number_file"
      export DISPLAY=":$n"
      xdpyinfo >/dev/null 2>&1 && return 0
    fi
    sleep 0.1
  done
  rm -f "$number_file"
  echo "Xvfb did not start" >&2
  return 1
}

# A wineserver that is still up from an earlier program keeps the desktop
# that program started, bound to the display it had - none, for a console
# program run without X. Windows of later programs then go to that desktop
# and never reach ours. Call this once DISPLAY is set and nothing else is
# using the prefix.
wine_fresh_session() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

x_display_stop() {
  if [ -n "$KELVO_XVFB_PID" ]; then
    kill "$KELVO_XVFB_PID" 2>/dev/null || true
    wait "$KELVO_XVFB_PID" 2>/dev/null || true
    KELVO_XVFB_PID=""
    unset DISPLAY
  fi
}

# The prefix may be shared with other tests running at the same time: its
# server is left alone (it ends by itself once its last client has gone).
wine_env_cleanup() {
  x_display_stop
}

wine_timeout() {
  local seconds="$1"
  shift
  timeout -k 5 "$seconds" "${KELVO_WINE:-wine}" "$@"
}

# The Windows form of a host path, as Wine's Z: drive shows it.
wine_path() {
  local p
  p="$(readlink -f "$1")"
  printf 'Z:%s' "${p//\//\\}"
}

# The prefix's temporary folder (what GetTempPath gives), as a host path.
wine_temp_dir() {
  local t
  t="$(timeout 60 "${KELVO_WINE:-wine}" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')"
  timeout 30 "${KELVO_WINE:-wine}" winepath -u "$t" 2>/dev/null
}
