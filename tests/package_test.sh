#!/bin/sh
# Makes the Debian package and checks that it holds a game as Debian lays one out, with its
# metadata, that lintian has nothing to say about it and that its program has the hardening
# Debian's own programs have. Skipped where Debian's package tools are missing.
set -eu
cpack=$1 build=$2
for tool in dpkg-deb dpkg-shlibdeps lintian hardening-check; do
    command -v $tool > /dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cd "$build"
"$cpack" -G DEB -B "$tmp" > /dev/null
deb=$(ls "$tmp"/quarnel_*.deb)
dpkg-deb -c "$deb" | awk '{ print $6 }' > "$tmp/files"
for file in ./usr/games/quarnel ./usr/share/man/man6/quarnel.6.gz \
    ./usr/share/doc/quarnel/copyright ./usr/share/doc/quarnel/changelog.gz \
    ./usr/share/lintian/overrides/quarnel; do
    grep -qx "$file" "$tmp/files"
done
test "$(dpkg-deb -f "$deb" Package)" = quarnel
test "$(dpkg-deb -f "$deb" Section)" = games
# Whatever C++ library it was built with, it needs the C library.
dpkg-deb -f "$deb" Depends | grep -q 'libc6'

# lintian leaves files of its own in TMPDIR: they go with the test's.
TMPDIR="$tmp" lintian --pedantic -I -E --fail-on error,warning,info,pedantic,experimental "$deb" \
    2> /dev/null
dpkg-deb -x "$deb" "$tmp/root"
# Debian 12 asks for no control-flow protection.
hardening-check --quiet --nocfprotection "$tmp/root/usr/games/quarnel"
