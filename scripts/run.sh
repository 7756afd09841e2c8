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
errors=$(mktemp /tmp/kelvane-example-err-XXXXXX)
"$kelvane" '?example.dat' 2>"$errors" || status=$?
cat "$errors" >&2
if [ "$status" -ne 0 ]; then
  # The message names the report: by its bare name beside the program, else by its full path
  # (the state folder, where root's report goes when out/ holds the test programs too).
  report=$(sed -n 's/.*Please see \(.*\) for more information.*/\1/p' "$errors" | head -n 1)
  [ "$report" = kelvaneerrors.txt ] && report="$(dirname "$kelvane")/kelvaneerrors.txt"
  rm -f "$errors"
  if [ -n "$report" ] && [ -f "$report" ]; then
    echo "The build failed (exit status $status); its report ($report):"
    cat "$report"
  else
    echo "The build failed (exit status $status); no report could be written (see above)."
  fi
  exit "$status"
fi
rm -f "$errors"
echo "New VFS table (vfs.txt):"
tr -d '\r' < vfs.txt
echo "Mirror folders under links/:"
find links -mindepth 1 -type d | sort
