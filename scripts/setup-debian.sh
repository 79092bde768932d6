#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Idempotent: installs only what is missing. Run as root.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
install_missing() {  # PACKAGE... (none: nothing to do)
  (($#)) || return 0
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index now and then: try again, and
  # go on with what was fetched; the install itself must succeed.
  local try
  for try in 1 2 3; do
    apt-get update -qq && break
    sleep 10
  done
  for try in 1 2 3; do
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
    sleep 10
    apt-get update -qq || true
  done
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  NEED_UPDATE=1
fi
for p in build-essential cmake ninja-build libgtest-dev googletest \
         g++-mingw-w64-i686 binutils-mingw-w64-i686 \
         wine xvfb xdotool imagemagick x11-utils \
         zlib1g-dev pigz clang libclang-rt-14-dev python3; do
  have "$p" || need+=("$p")
done
install_missing "${need[@]}"

# 32-bit Wine comes from the i386 archive. When its index cannot be had (a
# mirror caught mid-sync leaves the i386 updates out of step with the
# installed amd64 libraries), go on without it: the 64-bit fallback below
# runs the same Win32 code, and the scripts say which one ran.
# When the security archive's i386 index lags its amd64 one, the resolver gives
# up; the point release in the main archive has matching versions for both
# architectures, so a second try takes the i386 side from there alone (for this
# one call), naming the libraries it would otherwise not pick.
install_wine32_from_main() {
  local prefs
  prefs=$(mktemp -d)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: -1\n' > "$prefs/main-only.pref"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o Dir::Etc::PreferencesParts="$prefs" \
    wine32:i386 libwine:i386 libgstreamer-plugins-base1.0-0:i386 \
    libwine:amd64 libgstreamer-plugins-base1.0-0:amd64 >/dev/null
  local rc=$?
  rm -rf "$prefs"
  return $rc
}
if ! have wine32:i386; then
  if ! install_missing wine32:i386 && ! install_wine32_from_main; then
    echo "setup-debian.sh: wine32:i386 could not be installed; using 64-bit Wine instead" >&2
  fi
fi

# Where the kernel runs no 32-bit code, Wine cannot start the 32-bit
# programs: the 64-bit cross build runs under 64-bit Wine instead.
. "$(dirname "$0")/wine-env.sh"
if ! wine_runs_32bit; then
  need=()
  for p in wine64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64; do
    have "$p" || need+=("$p")
  done
  install_missing "${need[@]}"
fi
