#!/bin/sh
# Installs the build into a temporary prefix, and once more staged under DESTDIR, and runs the
# installed program.
set -eu
cmake=$1 build=$2 menu=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"$cmake" --install "$build" --prefix "$tmp/prefix" > /dev/null
test -f "$tmp/prefix/share/man/man1/quarnel.1"
printf 'q\n' | "$tmp/prefix/bin/quarnel" > "$tmp/out"
cmp "$tmp/out" "$menu"

DESTDIR="$tmp/stage" "$cmake" --install "$build" --prefix /opt/quarnel > /dev/null
test -x "$tmp/stage/opt/quarnel/bin/quarnel"
test -f "$tmp/stage/opt/quarnel/share/man/man1/quarnel.1"
test ! -e /opt/quarnel/bin/quarnel
