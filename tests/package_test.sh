#!/bin/sh
# Makes the Debian package and checks its metadata and that it holds the program and manual page.
set -eu
cpack=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cd "$build"
"$cpack" -G DEB -B "$tmp" > /dev/null
deb=$(ls "$tmp"/quarnel_*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' > "$tmp/files"
grep -qx './usr/bin/quarnel' "$tmp/files"
grep -qx './usr/share/man/man1/quarnel.1' "$tmp/files"
test "$(dpkg-deb -f "$deb" Package)" = quarnel
test -n "$(dpkg-deb -f "$deb" Maintainer)"
test -n "$(dpkg-deb -f "$deb" Description)"
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6'
