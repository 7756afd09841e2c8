#!/usr/bin/env bash
# Opens the Windows build's settings window under Wine on a virtual X display, with settings
# like a user's, and saves a picture of it (Wine's own title bar included) as
# docs/window-windows.png; and the empty window, as a shortcut's empty argument opens it
# (kelvane.exe ""), whose boxes show their hints, as docs/window-windows-empty.png.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup-debian.sh --windows
# The tools that take and crop the picture.
missing=()
for p in imagemagick x11-apps; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ -x out-win/kelvane.exe ] || bash scripts/build-windows.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\r\n' 'D:\srv\links' 'D:\srv\ftp\vfs.txt' 'D:\srv\ftp\vfs.orig' /pub/merged ftp ftp 755 \
  'E:\music\rock\|rock' 'E:\music\jazz\|jazz' 'F:\iso\' >"$work/music.dat"

cat >"$work/shoot.sh" <<'SHOOT'
set -euo pipefail
root=$1 picture=$2 title=$3 argument=$4
export WINEPREFIX=$root/out-win/wineprefix
"$root/scripts/wine-run.sh" "$root/out-win/kelvane.exe" "$argument" >/dev/null 2>&1 &
runner=$!
for _ in $(seq 200); do
  xwininfo -name "$title" >/dev/null 2>&1 && break
  sleep 0.1
done
# The pointer starts at the centre, over the window, where it raises a tooltip.
xdotool mousemove 0 0
sleep 1.5  # let the tooltip go and Wine finish drawing
info=$(xwininfo -name "$title")
value() { echo "$info" | sed -n "s/^ *$1: *\(-\{0,1\}[0-9]*\).*/\1/p"; }
x=$(value "Absolute upper-left X") y=$(value "Absolute upper-left Y")
w=$(value Width) h=$(value Height)
xwd -silent -root | convert xwd:- -crop "${w}x${h}+${x}+${y}" +repage "$picture"
# The runner goes first, so that it does not start the program again once it is ended; the
# Wine server goes before the next picture's display comes up.
kill "$runner"
wineserver -k
wineserver -w
SHOOT

mkdir -p docs
settings=$work/music.dat
xvfb-run -a -s "-screen 0 800x600x24" bash "$work/shoot.sh" "$root" "$root/docs/window-windows.png" \
  "Kelvane v1.1 by Oduvin [music.dat]" "Z:${settings//\//\\}"
xvfb-run -a -s "-screen 0 800x600x24" bash "$work/shoot.sh" "$root" \
  "$root/docs/window-windows-empty.png" "Kelvane v1.1 by Oduvin" ""  # Wine passes it as ""
echo "Saved docs/window-windows.png and docs/window-windows-empty.png"
