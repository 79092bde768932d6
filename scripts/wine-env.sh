# Shared Wine and X helpers for the installer's scripts and tests.
# Source it:  . scripts/wine-env.sh
#
#   wine_env_init [PREFIX]   32-bit throwaway prefix (warmed once), quiet Wine
#   x_display_start          a private Xvfb when DISPLAY is unset (stopped by
#                            x_display_stop, which wine_env_cleanup calls)
#   wine_env_cleanup         stops what this shell started
#   wine_timeout SECONDS ... runs a Wine command under timeout

KELVO_XVFB_PID=""

wine_env_init() {
  local prefix="${1:-${WINEPREFIX:-}}"
  if [ -z "$prefix" ]; then
    prefix="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/e-wineprefix"
  fi
  export WINEARCH=win32
  mkdir -p "$prefix"
  prefix="$(cd "$prefix" && pwd)"
  export WINEPREFIX="$prefix"
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEDEBUG="${WINEDEBUG:--all}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    timeout 300 wineboot -i >/dev/null 2>&1 || true
    timeout 60 wineserver -w || true
  fi
  [ -f "$WINEPREFIX/system.reg" ]
}

# A display number with neither a socket nor a lock file.
x_free_display() {
  local n
  for n in $(seq 90 150); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

# Starts Xvfb (1024 x 768, 24-bit) when there is no display. Width and
# height may be given.
x_display_start() {
  local width="${1:-1024}" height="${2:-768}"
  if [ -n "${DISPLAY:-}" ] && [ -z "$KELVO_XVFB_PID" ]; then
    return 0
  fi
  local n i
  n=$(x_free_display) || return 1
  Xvfb ":$n" -screen 0 "${width}x${height}x24" -nolisten tcp >/dev/null 2>&1 &
  KELVO_XVFB_PID=$!
  export DISPLAY=":$n"
  for i in $(seq 1 100); do
    if xdpyinfo >/dev/null 2>&1; then
      return 0
    fi
    sleep 0.1
  done
  echo "Xvfb did not start on :$n" >&2
  return 1
}

x_display_stop() {
  if [ -n "$KELVO_XVFB_PID" ]; then
    kill "$KELVO_XVFB_PID" 2>/dev/null || true
    wait "$KELVO_XVFB_PID" 2>/dev/null || true
    KELVO_XVFB_PID=""
    unset DISPLAY
  fi
}

wine_env_cleanup() {
  # Only this prefix's server: other prefixes' Wine sessions stay.
  if [ -n "${WINEPREFIX:-}" ]; then
    timeout 20 wineserver -k >/dev/null 2>&1 || true
  fi
  x_display_stop
}

wine_timeout() {
  local seconds="$1"
  shift
  timeout -k 5 "$seconds" wine "$@"
}

# The Windows form of a host path, as Wine's Z: drive shows it.
wine_path() {
  local p
  p="$(readlink -f "$1")"
  printf 'Z:%s' "${p//\//\\}"
}
