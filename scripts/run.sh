#!/usr/bin/env bash
# Installs what is missing, builds Kelvane and runs it on a copy of the bundled example:
# the settings window when a display is there, otherwise a build run whose new table is
# printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup-debian.sh
bash scripts/build.sh >/dev/null
kelvane="$PWD/out/kelvane"

work=$(mktemp -d /tmp/kelvane-example-XXXXXX)
cp -r examples/. "$work"
cd "$work"
echo "Example copied to $work"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Opening the settings window with example.dat (Build VFS now! runs the build here)."
  exec "$kelvane" example.dat
fi

echo "No display: running the build: kelvane '?example.dat'"
status=0
"$kelvane" '?example.dat' || status=$?
if [ "$status" -ne 0 ]; then
  echo "The build failed (exit status $status); its report:"
  cat "$(dirname "$kelvane")/kelvaneerrors.txt"
  exit "$status"
fi
echo "New VFS table (vfs.txt):"
tr -d '\r' < vfs.txt
echo "Mirror folders under links/:"
find links -mindepth 1 -type d | sort
