#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it as a user gets it: lintian, its
# control fields and files, then the program unpacked with dpkg-deb -x into a temporary root
# and run from there: --version, a build of the bundled example, and failing builds as an
# ordinary user and as root whose reports land in their state folders. The manual page must
# render with man -l without a warning, and the systemd units must pass systemd-analyze
# verify where it can run (skipped, and said so, where it cannot). Ends with "package: N passed, N failed"
# and exits 1 when a check failed.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "  ok      $1"; }
fail() { failed=$((failed + 1)); echo "  FAILED  $1"; shift; for line in "$@"; do echo "          $line"; done; }
skip() { skipped=$((skipped + 1)); echo "  skipped $1"; }
# expect NAME COMMAND...: passes when the command succeeds.
expect() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name" "command: $*"; fi
}

version=$(sed -n 's/^project(kelvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=out/kelvane_${version}_amd64.deb
work=$(mktemp -d /tmp/kelvane-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the ordinary user below must reach the unpacked program

echo "package: building $deb"
touch "$work/before-build"
sleep 1  # a file written by the build below is then newer than the mark, whatever the clock
bash scripts/package.sh >/dev/null
expect "the package is out/kelvane_${version}_amd64.deb" test -s "$deb"
# engine/ holds the build engine's sources: the build must not write there.
written=$(find engine -newer "$work/before-build" -print)
expect "the build writes nothing into engine/ (the engine's sources)" test -z "$written"

# --- lintian ---------------------------------------------------------------------------------
lintian_args=(--fail-on error,warning)
[ "$(id -u)" -eq 0 ] && lintian_args+=(--allow-root)
if lintian "${lintian_args[@]}" "$deb" >"$work/lintian" 2>&1; then
  pass "lintian: no error or warning"
else
  mapfile -t found <"$work/lintian"
  fail "lintian: no error or warning" "${found[@]}"
fi

# --- control fields and contents -------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
for library in libc6 libstdc++6 libqt6widgets6 libxcb1; do
  expect "Depends, computed from the binary, holds $library" grep -q "\\b$library\\b" <<<"$depends"
done
expect "xdg-utils is recommended" test "$(field Recommends)" = xdg-utils
expect "the version is $version" test "$(field Version)" = "$version"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for file in /usr/bin/kelvane /usr/share/applications/kelvane.desktop \
  /usr/share/icons/hicolor/32x32/apps/kelvane.png /usr/share/icons/hicolor/128x128/apps/kelvane.png \
  /usr/share/man/man1/kelvane.1.gz /usr/share/doc/kelvane/README.md \
  /usr/share/doc/kelvane/copyright /usr/share/doc/kelvane/changelog.gz \
  /usr/share/doc/kelvane/examples/example.dat /usr/share/doc/kelvane/examples/vfs-original.txt \
  "/usr/share/doc/kelvane/examples/systemd/kelvane-build@.service" \
  "/usr/share/doc/kelvane/examples/systemd/kelvane-build@.timer" \
  "/usr/share/doc/kelvane/examples/systemd/kelvane-follow@.service"; do
  expect "the package holds $file" grep -qxF "$file" "$work/contents"
done

root=$work/root
mkdir "$root"
dpkg-deb -x "$deb" "$root"
kelvane=$root/usr/bin/kelvane

expect "the desktop entry opens files with --open" \
  grep -qx 'Exec=kelvane --open %f' "$root/usr/share/applications/kelvane.desktop"
icon_size() { python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]))' "$1"; }
for size in 32x32 128x128; do
  expect "the $size icon is $size pixels" \
    test "$(icon_size "$root/usr/share/icons/hicolor/$size/apps/kelvane.png")" = "$size"
done

# --- the unpacked program ----------------------------------------------------------------------
unset DISPLAY WAYLAND_DISPLAY
expect "the unpacked program prints its version" test "$("$kelvane" --version)" = "kelvane $version"

example=$work/example
mkdir "$example"
cp -r "$root/usr/share/doc/kelvane/examples/." "$example"
status=0
(cd "$example" && "$kelvane" '?example.dat') >"$work/example.out" 2>&1 || status=$?
expect "a build of the bundled example exits 0" test "$status" -eq 0
entry() { printf '%s|%s|anon|users|755|r|0|0|0|0|0|0|0|0\r\n' "$1" "$2"; }
{
  cat "$example/vfs-original.txt"
  entry links /merged
  entry sources/iso/debian /merged/linux/debian
  entry sources/iso/gentoo /merged/linux/gentoo
  entry sources/mp3/jazz /merged/music/jazz
  entry sources/mp3/rock /merged/music/rock
  entry sources/more-iso/arch /merged/linux/arch
} | sort >"$work/expected-table"
sort "$example/vfs.txt" >"$work/table" 2>/dev/null || true
expect "the example's new table holds the old lines, the root entry and five entries" \
  cmp -s "$work/expected-table" "$work/table"
mirrors=$(cd "$example/links" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
expect "the example's mirror folders are made under links/" test "$mirrors" = \
  "./linux ./linux/arch ./linux/debian ./linux/gentoo ./music ./music/jazz ./music/rock "

# A failing build as an ordinary user, whom the program's folder does not let write.
home=$work/home
mkdir "$home"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  user=nobody
  uid=$(id -u "$user") gid=$(id -g "$user")
  chown "$uid:$gid" "$home"
  as_user=(setpriv --reuid="$uid" --regid="$gid" --clear-groups)
else
  chmod a-w "$root/usr/bin"  # as the user who unpacked it, the folder would be writable
fi
run_user() {  # run_user VAR=VALUE... -- ARGS: the program as that user, in $home, env cleared
  local vars=()
  while [ "$1" != -- ]; do vars+=("$1"); shift; done
  shift
  (cd "$home" && env -i PATH=/usr/bin:/bin "${vars[@]}" "${as_user[@]}" "$kelvane" "$@")
}
status=0
run_user HOME="$home" -- '?missing.dat' >"$work/user.out" 2>"$work/user.err" || status=$?
report=$home/.local/state/kelvane/kelvaneerrors.txt
expect "a failing build as an ordinary user exits 1" test "$status" -eq 1
expect "its report lands in ~/.local/state/kelvane/" test -s "$report"
expect "the report says what failed" grep -q '^Action when error occured : Loading dat file' "$report"
expect "the state folder is open to its owner only" \
  test "$(stat -c %a "$home/.local/state/kelvane")" = 700
expect "standard error names the report's path" grep -qF "Please see $report for" "$work/user.err"
expect "nothing is written beside the installed program" test ! -e "$root/usr/bin/kelvaneerrors.txt"

status=0
run_user HOME="$home" XDG_STATE_HOME="$home/xdg state" -- '?missing.dat' >/dev/null \
  2>"$work/xdg.err" || status=$?
expect "with XDG_STATE_HOME set, the report lands in \$XDG_STATE_HOME/kelvane/" \
  test "$status" -eq 1 -a -s "$home/xdg state/kelvane/kelvaneerrors.txt"
expect "and standard error names that path" \
  grep -qF "Please see $home/xdg state/kelvane/kelvaneerrors.txt for" "$work/xdg.err"
[ "$(id -u)" -eq 0 ] || chmod u+w "$root/usr/bin"

# A failing build as root, with the unpacked usr/bin made like the real one: root's, holding
# other programs. Its report must not land beside the program but in the state folder:
# $XDG_STATE_HOME/kelvane/, or without it /var/lib/kelvane/, which is shown in a mount
# namespace of its own where a scratch folder stands for /var/lib (the real one is never
# written).
if [ "$(id -u)" -eq 0 ]; then
  cp /bin/true "$root/usr/bin/true"
  status=0
  (cd "$home" && env -i PATH=/usr/bin:/bin HOME=/root XDG_STATE_HOME="$work/root state" \
    "$kelvane" '?missing.dat') >/dev/null 2>"$work/root.err" || status=$?
  expect "a failing build as root exits 1" test "$status" -eq 1
  expect "root's report lands in \$XDG_STATE_HOME/kelvane/" \
    test -s "$work/root state/kelvane/kelvaneerrors.txt"
  expect "and standard error names that path" \
    grep -qF "Please see $work/root state/kelvane/kelvaneerrors.txt for" "$work/root.err"
  expect "root writes nothing beside the program among other programs" \
    test ! -e "$root/usr/bin/kelvaneerrors.txt"
  varlib=$work/var-lib
  mkdir "$varlib"
  in_namespace=(unshare --mount --propagation private)
  if "${in_namespace[@]}" true 2>/dev/null; then
    status=0
    (cd "$home" && "${in_namespace[@]}" sh -c 'mount --bind "$1" /var/lib && shift && exec "$@"' \
      sh "$varlib" env -i PATH=/usr/bin:/bin HOME=/root "$kelvane" '?missing.dat') \
      >/dev/null 2>&1 || status=$?
    expect "without XDG_STATE_HOME, root's report lands in /var/lib/kelvane/" \
      test "$status" -eq 1 -a -s "$varlib/kelvane/kelvaneerrors.txt"
    expect "/var/lib/kelvane/ is open to root only" test "$(stat -c %a "$varlib/kelvane")" = 700
    expect "and nothing beside the program" test ! -e "$root/usr/bin/kelvaneerrors.txt"
  else
    skip "root's report without XDG_STATE_HOME: no mount namespace can be made here"
  fi
  rm "$root/usr/bin/true"
else
  skip "root's report: the test does not run as root"
fi

# --- the manual page ---------------------------------------------------------------------------
page=$root/usr/share/man/man1/kelvane.1.gz
if LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
  >/dev/null 2>"$work/man.err" && [ ! -s "$work/man.err" ]; then
  pass "the manual page renders with man -l without a warning"
else
  mapfile -t found <"$work/man.err"
  fail "the manual page renders with man -l without a warning" "${found[@]}"
fi
LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" >"$work/man.txt" 2>/dev/null
for section in NAME SYNOPSIS MODES "SETTINGS FILE" "THE BUILD" "EXIT STATUS" FILES \
  "SCHEDULED BUILDS" EXAMPLES; do
  expect "the manual page has the section $section" grep -qx "$section" "$work/man.txt"
done
expect "the manual page gives a cron line" \
  grep -qF "0 3 * * *  ftp  /usr/bin/kelvane '?/srv/ftp/music.dat'" "$work/man.txt"
expect "the manual page names the state folder" \
  grep -qF '$XDG_STATE_HOME/kelvane/kelvaneerrors.txt' "$work/man.txt"

# --- the systemd units -------------------------------------------------------------------------
# Verified as an instance (the settings file /srv/ftp/music.dat), with ExecStart pointing at the
# unpacked program and man:kelvane(1) found in the unpacked manual pages.
units=$work/units
mkdir "$units"
for unit in "$root"/usr/share/doc/kelvane/examples/systemd/*; do
  sed "s|/usr/bin/kelvane|$kelvane|" "$unit" >"$units/$(basename "$unit")"
done
printf '[Unit]\nDescription=probe\n[Service]\nType=oneshot\nExecStart=/bin/true\n' \
  >"$units/kelvane-probe.service"
if ! command -v systemd-analyze >/dev/null; then
  skip "systemd units: systemd-analyze is not installed"
elif ! systemd-analyze verify --man=no "$units/kelvane-probe.service" >"$work/probe" 2>&1; then
  skip "systemd units: systemd-analyze verify cannot run here ($(head -1 "$work/probe"))"
else
  instance=$(systemd-escape --path /srv/ftp/music.dat)
  expect "the instance of /srv/ftp/music.dat is srv-ftp-music.dat" test "$instance" = srv-ftp-music.dat
  for unit in build@$instance.service build@$instance.timer follow@$instance.service; do
    if MANPATH="$root/usr/share/man" systemd-analyze verify \
      "$units/kelvane-$unit" >"$work/verify" 2>&1 && [ ! -s "$work/verify" ]; then
      pass "systemd-analyze verify kelvane-$unit"
    else
      mapfile -t found <"$work/verify"
      fail "systemd-analyze verify kelvane-$unit" "${found[@]}"
    fi
  done
  expect "the service builds the settings file the instance names" \
    grep -qxF "ExecStart=$kelvane ?%f" "$units/kelvane-build@.service"
  expect "the follow service follows the settings file the instance names" \
    grep -qxF "ExecStart=$kelvane --follow ?%f" "$units/kelvane-follow@.service"
  # The same account, state folder and hardening as the build it replaces.
  for setting in User Group StateDirectory Environment NoNewPrivileges Nice IOSchedulingClass; do
    expect "the follow service has the build's $setting=" test \
      "$(grep "^$setting=" "$units/kelvane-follow@.service")" = \
      "$(grep "^$setting=" "$units/kelvane-build@.service")"
  done
  expect "the follow service tells systemd when it is ready" \
    grep -qxF "Type=notify" "$units/kelvane-follow@.service"
fi

summary="package: $passed passed, $failed failed"
[ "$skipped" -gt 0 ] && summary+=", $skipped skipped"
echo "$summary"
[ "$failed" -eq 0 ]
