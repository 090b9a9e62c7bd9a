#!/bin/sh
# Makes the Debian package and checks its metadata, and that it holds the program and manual page
# where Debian puts a game's.
set -eu
cpack=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cd "$build"
"$cpack" -G DEB -B "$tmp" > /dev/null
deb=$(ls "$tmp"/quarnel_*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' > "$tmp/files"
grep -qx './usr/games/quarnel' "$tmp/files"
grep -qx './usr/share/man/man6/quarnel.6.gz' "$tmp/files"
test "$(dpkg-deb -f "$deb" Package)" = quarnel
test "$(dpkg-deb -f "$deb" Section)" = games
test -n "$(dpkg-deb -f "$deb" Maintainer)"
test -n "$(dpkg-deb -f "$deb" Description)"
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6'
