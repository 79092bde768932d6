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
  local prefs rc pkg arch version
  local -a wanted=()
  prefs=$(mktemp -d)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: -1\n' > "$prefs/main-only.pref"
  # Each package at its main-archive version, for both architectures: an
  # amd64 twin already installed from the security archive would otherwise
  # break its i386 twin (Multi-Arch: same wants equal versions), so it is
  # moved back to the main archive's version too.
  for pkg in wine32:i386 libwine:i386 libgstreamer-plugins-base1.0-0:i386 \
             libwine:amd64 libgstreamer-plugins-base1.0-0:amd64; do
    arch=${pkg##*:}
    version=$(apt-cache madison "$pkg" | awk -F' [|] ' -v a="$arch" \
      '$3 !~ /security/ && $3 ~ (a " Packages") { print $2; exit }')
    if [ -n "$version" ]; then wanted+=("$pkg=$version"); else wanted+=("$pkg"); fi
  done
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --allow-downgrades \
    -o Dir::Etc::PreferencesParts="$prefs" "${wanted[@]}" >/dev/null
  rc=$?
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
