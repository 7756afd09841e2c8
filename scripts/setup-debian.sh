#!/usr/bin/env bash
# Installs the Debian packages Kelvane needs to build, package, test and benchmark, where
# missing. (scripts/package-test.sh also verifies the systemd units with systemd-analyze,
# from the systemd package, where that is installed and can run.)
set -euo pipefail

# libsystemd-dev lets --follow tell systemd how it is doing (a build without it follows all
# the same, silently).
packages=(cmake make g++ pkg-config qt6-base-dev libxcb1-dev libsystemd-dev libgtest-dev
          clang libclang-rt-14-dev xvfb xauth strace time python3 rsync
          dpkg-dev lintian man-db)
# With --windows also what the Windows build and its tests under Wine need.
if [ "${1:-}" = --windows ]; then
  packages+=(mingw-w64 googletest wine wine64 fonts-wine xvfb xdotool x11-utils zip)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
