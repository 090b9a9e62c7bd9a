#!/bin/sh
# Installs the build into a temporary prefix, and once more staged under DESTDIR, and runs the
# installed program. It is laid out as a game; what only the Debian package needs stays out.
set -eu
cmake=$1 build=$2 menu=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$cmake" --install "$build" --prefix "$tmp/prefix" > /dev/null
test -f "$tmp/prefix/share/man/man6/quarnel.6.gz"
test -f "$tmp/prefix/share/doc/quarnel/copyright"
test ! -e "$tmp/prefix/share/lintian"
printf 'q\n' | "$tmp/prefix/games/quarnel" > "$tmp/out"
cmp "$tmp/out" "$menu"

DESTDIR="$tmp/stage" "$cmake" --install "$build" --prefix /opt/quarnel > /dev/null
test -x "$tmp/stage/opt/quarnel/games/quarnel"
test -f "$tmp/stage/opt/quarnel/share/man/man6/quarnel.6.gz"
test ! -e /opt/quarnel/games/quarnel
