#!/bin/sh
# Installs the build, stripped as the README installs it, into a prefix whose name holds glob and
# list characters and a directory of the user's own, and twice under a relative DESTDIR that does
# not exist yet, and runs the installed program; the uninstall target then names and takes away
# all it added and nothing else. What CPack stages for a package is not recorded as installed, and
# a record of the user's own in the build directory is kept. A new build directory refuses the
# tests without GoogleTest, then builds and installs the program with QUARNEL_INSTALL_GAMESDIR=bin. After the first four arguments come the files the install puts
# under the prefix, the program first, then "--", then what starts a program built for another
# machine: its emulator.
set -eu
cmake=$1 source=$2 build=$3 menu=$4
shift 4
files=
while [ "$1" != -- ]; do
    files="$files $1"
    shift
done
shift
set -f # the names are plain paths, with no patterns in them
program=${files# }
program=${program%% *}
tmp=$(mktemp -d)
mkdir "$tmp/kept"
[ ! -e "$build/installed.txt" ] || mv "$build/installed.txt" "$tmp/kept/"
trap '[ ! -e "$tmp/kept/installed.txt" ] || mv "$tmp/kept/installed.txt" "$build/"; rm -rf "$tmp"' EXIT

prefix="$tmp/x[1];y"
mine=$(dirname "$prefix/${files##* }")
mkdir -p "$mine"
echo mine > "$mine/mine"
before=$(find "$prefix" | sort)
"$cmake" --install "$build" --prefix "$prefix" --strip > /dev/null
for file in $files; do
    test -f "$prefix/$file"
done
test ! -e "$prefix/share/lintian"
# Symbol tables are looked for where the program is ELF, as on Linux and the BSDs.
if command -v readelf > /dev/null && readelf -h "$prefix/$program" > /dev/null 2>&1; then
    test -z "$(readelf -S "$prefix/$program" | grep symtab)"
fi
printf 'q\n' | "$@" "$prefix/$program" > "$tmp/out"
cmp "$tmp/out" "$menu"
if [ -f "$build/CPackConfig.cmake" ]; then
    (cd "$build" && "${cmake%cmake}cpack" -G TGZ -B "$tmp/package" > /dev/null)
fi
! grep -v -F "$prefix/" "$build/installed.txt"
"$cmake" --build "$build" --target uninstall > "$tmp/removed"
grep -q -x -F -- "-- Removed $prefix/$program" "$tmp/removed"
test "$(find "$prefix" | sort)" = "$before"

cd "$tmp"
for _ in 1 2; do
    DESTDIR=stage "$cmake" --install "$build" --prefix /opt/quarnel > /dev/null
done
test -x "stage/opt/quarnel/$program"
test ! -e "/opt/quarnel/$program"
cd /
"$cmake" --build "$build" --target uninstall > /dev/null
test ! -e "$tmp/stage"

refusal=$("$cmake" -S "$source" -B "$tmp/bin" -DBUILD_TESTING=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON 2>&1) && exit 1
case $refusal in *"The tests need GoogleTest"*) ;; *) exit 1 ;; esac
"$cmake" -S "$source" -B "$tmp/bin" -DQUARNEL_INSTALL_GAMESDIR=bin > /dev/null
"$cmake" --build "$tmp/bin" -j 2 > /dev/null
"$cmake" --install "$tmp/bin" --prefix "$tmp/bin/installed" > /dev/null
printf 'q\n' | "$tmp/bin/installed/bin/quarnel" | cmp - "$menu"
