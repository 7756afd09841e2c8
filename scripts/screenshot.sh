#!/usr/bin/env bash
# Opens the settings window on a virtual X display, with settings like a user's, and saves a
# picture of it (title bar included) as docs/window.png; and the empty window, whose boxes
# show their hints, as docs/window-empty.png.
#   bash scripts/screenshot.sh [path/to/kelvane]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
program=${1:-$root/out/kelvane}

# Debian packages for the virtual display, a window manager to draw the title bar, and the
# tools that find the window and take its picture.
packages=(xvfb xauth openbox x11-utils x11-apps imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ -x "$program" ] || bash scripts/build.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\r\n' /srv/links /srv/ftp/vfs.txt /srv/ftp/vfs.orig /pub/merged ftp ftp 755 \
  '/mnt/music/rock/|rock' '/mnt/music/jazz/|jazz' '/mnt/iso/' >"$work/music.dat"

cat >"$work/shoot.sh" <<'SHOOT'
set -euo pipefail
program=$1 picture=$2 title=$3
shift 3  # the program's arguments
openbox >/dev/null 2>&1 &
# A window mapped before the window manager runs would get no frame.
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
"$program" "$@" >/dev/null 2>&1 &
window=$!
for _ in $(seq 100); do
  xprop -name "$title" _NET_FRAME_EXTENTS 2>/dev/null | grep -q = && break
  sleep 0.1
done
xprop -name "$title" _NET_FRAME_EXTENTS | grep -q =
sleep 1  # let the window manager finish drawing the frame
# The client area's place on the screen, widened by the frame the window manager drew.
info=$(xwininfo -name "$title")
value() { echo "$info" | sed -n "s/^ *$1: *\(-\{0,1\}[0-9]*\).*/\1/p"; }
x=$(value "Absolute upper-left X") y=$(value "Absolute upper-left Y")
w=$(value Width) h=$(value Height)
read -r left right top bottom < <(xprop -name "$title" _NET_FRAME_EXTENTS |
  sed 's/.*= //; s/,//g')
xwd -silent -root | convert xwd:- -crop "$((w + left + right))x$((h + top + bottom))+$((x - left))+$((y - top))" \
  +repage "$picture"
kill "$window"
SHOOT

mkdir -p docs
xvfb-run -a -s "-screen 0 640x560x24" bash "$work/shoot.sh" "$program" "$root/docs/window.png" \
  "Kelvane v1.1 by Oduvin [music.dat]" "$work/music.dat"
xvfb-run -a -s "-screen 0 640x560x24" bash "$work/shoot.sh" "$program" \
  "$root/docs/window-empty.png" "Kelvane v1.1 by Oduvin"
echo "Saved docs/window.png and docs/window-empty.png"
