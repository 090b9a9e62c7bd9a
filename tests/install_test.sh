#!/bin/sh
# Installs the build, stripped as the README installs it, into a prefix whose name holds glob and
# list characters and a directory of the user's own, and twice under a relative DESTDIR, and runs
# the installed program; the uninstall target then takes away all it added and nothing else. A
# new build directory refuses the tests without GoogleTest, then builds and installs the program
# with QUARNEL_INSTALL_GAMESDIR=bin. The arguments after the first seven start a program built for
# another machine: its emulator.
set -eu
cmake=$1 source=$2 build=$3 menu=$4 games=$5 man=$6 doc=$7
shift 7
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -f "$build/installed.txt"

prefix="$tmp/x[1];y"
mkdir -p "$prefix/$doc"
echo mine > "$prefix/$doc/mine"
before=$(find "$prefix" | sort)
"$cmake" --install "$build" --prefix "$prefix" --strip > /dev/null
test -f "$prefix/$man/man6/quarnel.6.gz"
test -f "$prefix/$doc/copyright"
test ! -e "$prefix/share/lintian"
# Symbol tables are looked for where the program is ELF, as on Linux and the BSDs.
if command -v readelf > /dev/null; then
    test -z "$(readelf -S "$prefix/$games/quarnel" | grep symtab)"
fi
printf 'q\n' | "$@" "$prefix/$games/quarnel" > "$tmp/out"
cmp "$tmp/out" "$menu"
"$cmake" --build "$build" --target uninstall > /dev/null
test "$(find "$prefix" | sort)" = "$before"

cd "$tmp"
for _ in 1 2; do
    DESTDIR=stage "$cmake" --install "$build" --prefix /opt/quarnel > /dev/null
done
test -x stage/opt/quarnel/$games/quarnel
test ! -e /opt/quarnel/$games/quarnel
cd /
"$cmake" --build "$build" --target uninstall > /dev/null
test -z "$(ls -A "$tmp/stage")"

refusal=$("$cmake" -S "$source" -B "$tmp/bin" -DBUILD_TESTING=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON 2>&1) && exit 1
case $refusal in *"The tests need GoogleTest"*) ;; *) exit 1 ;; esac
"$cmake" -S "$source" -B "$tmp/bin" -DQUARNEL_INSTALL_GAMESDIR=bin > /dev/null
"$cmake" --build "$tmp/bin" -j 2 > /dev/null
"$cmake" --install "$tmp/bin" --prefix "$tmp/bin/installed" > /dev/null
printf 'q\n' | "$tmp/bin/installed/bin/quarnel" | cmp - "$menu"
