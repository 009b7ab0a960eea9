#!/bin/sh
# Checks the Windows zip as a host developer receives it: unpacks it into an empty folder,
# requires its files, checks the DLL's exports and imports, then builds a C consumer with MinGW
# through the zip's CMake package and runs it under Wine.
# Usage: check-windows-package.sh BUILD_DIR EXPORTS_LIST
set -eu
build=$1
exports=$2
here=$(cd "$(dirname "$0")/.." && pwd)
zip=$(cd "$build" && pwd)/$(cd "$build" && ls -t kojelly-*-win64.zip | head -n 1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
root=$work/unpacked
for f in bin/kojelly.dll lib/libkojelly.dll.a lib/kojelly.def lib/libtessel.a \
         include/kojelly.h include/tessel_http.h lib/cmake/kojelly/kojellyConfig.cmake \
         share/doc/kojelly/yyjson-LICENSE.txt README-windows.txt; do
  [ -e "$root/$f" ] || { echo "the zip lacks $f" >&2; exit 1; }
done
"$here/tests/plugin/check_exports.sh" "$root/bin/kojelly.dll" "$exports"
# The version resource carries the version that names the zip.
version=$(basename "$zip" | sed 's/^kojelly-\(.*\)-win64\.zip$/\1/')
x86_64-w64-mingw32-strings -el "$root/bin/kojelly.dll" | grep -qx "$version" ||
  { echo "kojelly.dll has no version resource for $version" >&2; exit 1; }
# The module-definition file names exactly the exports.
def_names=$(awk 'f && NF { print $1 } /^EXPORTS/ { f = 1 }' "$root/lib/kojelly.def" | sort)
[ "$def_names" = "$(sort "$exports")" ] || { echo "kojelly.def differs from $exports" >&2; exit 1; }

cmake -S "$here/tests/package/windows_consumer" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
  -Dkojelly_DIR="$root/lib/cmake/kojelly" >/dev/null
cmake --build "$work/build" >/dev/null
# Windows finds the DLL beside the program, as a host ships it.
cp "$root/bin/kojelly.dll" "$work/build/"
out=$("$here/scripts/wine-run.sh" "$work/build/consumer.exe" | tr -d '\r')
echo "$out"
case $out in
  *'"path":"11"'*'"name":"Séries","path":"12"'*'released with msvcrt.dll'*) ;;
  *) echo "unexpected answer from the consumer" >&2; exit 1 ;;
esac
echo "windows package ok: $(basename "$zip")"
