#!/usr/bin/env bash
# Peak memory of a build whose table is large: once replaced by rename, once written in place
# behind its journal (the table has a second name). Usage: bench/table-memory.sh [MiB], 1024
# by default; needs out-release/kelvane (scripts/build.sh --release) and GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."
mib=${1:-1024}
exe=$PWD/out-release/kelvane
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/debian" "$work/links" "$work/state"
head -c "$((mib * 1024 * 1024))" \
  < <(yes 'an old line of the server'"'"'s own table, copied byte for byte|/x|anon|users|755|r|0') \
  > "$work/old.vfs"
printf '%s\r\n' "$work/links" "$work/table.vfs" "$work/old.vfs" /merged anon users 755 \
  "$work/src/" > "$work/settings.dat"
echo "table of $mib MiB, $(nproc) cores, $(uname -r)"
for way in rename in-place; do
  rm -f "$work/table.vfs" "$work/alias.vfs"
  : > "$work/table.vfs"
  [ "$way" = in-place ] && ln "$work/table.vfs" "$work/alias.vfs"
  XDG_STATE_HOME=$work/state /usr/bin/time -f "$way: peak memory %M KiB, %e s" \
    "$exe" "?$work/settings.dat"
done
