#!/bin/sh
# Installs the build into a temporary prefix, stripped as the README installs it, and once more
# staged under DESTDIR, and runs the installed program. It is laid out as a game; what only the
# Debian package needs stays out; the uninstall target removes all of it, and of the directories
# only those the install created.
set -eu
cmake=$1 build=$2 menu=$3 games=$4 man=$5 doc=$6
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir -p "$tmp/prefix/share"
"$cmake" --install "$build" --prefix "$tmp/prefix" --strip > /dev/null
test -f "$tmp/prefix/$man/man6/quarnel.6.gz"
test -f "$tmp/prefix/$doc/copyright"
test ! -e "$tmp/prefix/share/lintian"
# Symbol tables are looked for where the program is ELF, as on Linux and the BSDs.
if command -v readelf > /dev/null; then
    test -z "$(readelf -S "$tmp/prefix/$games/quarnel" | grep symtab)"
fi
printf 'q\n' | "$tmp/prefix/$games/quarnel" > "$tmp/out"
cmp "$tmp/out" "$menu"
"$cmake" --build "$build" --target uninstall > /dev/null
test "$(find "$tmp/prefix")" = "$(printf '%s\n' "$tmp/prefix" "$tmp/prefix/share")"

DESTDIR="$tmp/stage" "$cmake" --install "$build" --prefix /opt/quarnel > /dev/null
test -x "$tmp/stage/opt/quarnel/$games/quarnel"
test -f "$tmp/stage/opt/quarnel/$man/man6/quarnel.6.gz"
test ! -e /opt/quarnel/games/quarnel
