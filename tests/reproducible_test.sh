#!/bin/sh
# Builds the Debian package as the README does, from two copies of the sources in two different
# places with the same SOURCE_DATE_EPOCH: the two packages must be the same bytes.
set -eu
cmake=$1 cpack=$2 source=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export SOURCE_DATE_EPOCH=1796716800

command -v dpkg-shlibdeps > /dev/null || { echo "skipped: dpkg-dev is not installed"; exit 77; }
# The two copies are built side by side, each in a shell of its own.
package() {
    mkdir -p "$1"
    tar -C "$source" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$1" -xf -
    cd "$1"
    "$cmake" -B build -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON > /dev/null
    "$cmake" --build build > /dev/null
    cd build
    "$cpack" -G DEB > /dev/null
}
package "$tmp/one" &
first=$!
(package "$tmp/two/elsewhere")
wait $first
cmp "$tmp"/one/build/quarnel_*.deb "$tmp"/two/elsewhere/build/quarnel_*.deb
