#!/bin/sh
# Checks the Windows zip as a host developer receives it: unpacks it into an empty folder,
# requires its files, checks the DLL's exports and imports, then builds a C consumer with MinGW
# through the zip's CMake package and runs it under Wine. Then it builds examples/windows_host,
# the host with a WinHTTP transport of its own, the same way, and runs it under Wine against the
# native demo server of the kojelly tool, when KOJELLY_TOOL names one.
# Usage: check-windows-package.sh BUILD_DIR EXPORTS_LIST [KOJELLY_TOOL]
set -eu
build=$1
exports=$2
tool=${3:-}
here=$(cd "$(dirname "$0")/.." && pwd)
zip=$(cd "$build" && pwd)/$(cd "$build" && ls -t kojelly-*-win64.zip | head -n 1)
work=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
root=$work/unpacked
for f in bin/kojelly.dll bin/kojelly.exe lib/libkojelly.dll.a lib/kojelly.def lib/libtessel.a \
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

cmake -S "$here/examples/windows_host" -B "$work/host" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
  -Dkojelly_DIR="$root/lib/cmake/kojelly" >/dev/null
cmake --build "$work/host" >/dev/null
[ -f "$work/host/kojelly.dll" ] || { echo "the windows_host build left no kojelly.dll beside it" >&2; exit 1; }

# Starts the demo server of one flavour on a port it picks itself, and waits until it prints
# its address and API key (into $url and $key).
start_demo() {
  log=$work/demo-$1.txt
  "$tool" demo --serve --flavour "$1" >"$log" 2>&1 &
  server=$!
  tries=0
  until grep -q ', API key ' "$log"; do
    if ! kill -0 "$server" 2>/dev/null || [ "$tries" -ge 100 ]; then
      echo "the $1 demo server did not start:" >&2
      cat "$log" >&2
      exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
  done
  url=$(sed -n 's/^demo server .* listening on \(http:[^ ]*\)$/\1/p' "$log")
  key=$(sed -n 's/^ *user .*, API key \([^ ]*\)$/\1/p' "$log")
  if [ -z "$url" ] || [ -z "$key" ]; then
    echo "unreadable demo server banner:" >&2
    cat "$log" >&2
    exit 1
  fi
}

stop_demo() {
  kill "$server"
  wait "$server" || true
  server=
}

# Runs windows_host.exe against $url with the API key $1; its exit status in $status, its
# output in $work/host-out.txt and $work/host-err.txt.
run_host() {
  status=0
  KOJELLY_API_KEY=$1 "$here/scripts/wine-run.sh" "$work/host/windows_host.exe" "$url" \
    >"$work/host.out" 2>"$work/host.err" || status=$?
  tr -d '\r' <"$work/host.out" >"$work/host-out.txt"
  tr -d '\r' <"$work/host.err" >"$work/host-err.txt"
}

# Fails when any output of the last run holds the API key $1.
no_key_in_output() {
  if grep -qF "$1" "$work/host-out.txt" "$work/host-err.txt"; then
    echo "windows_host printed the API key" >&2
    exit 1
  fi
}

if [ -z "$tool" ]; then
  echo "skipping the run of examples/windows_host against the demo server: no kojelly tool given"
elif [ ! -x "$tool" ]; then
  echo "skipping the run of examples/windows_host against the demo server: $tool is not executable"
else
  for flavour in jellyfin emby; do
    start_demo "$flavour"
    run_host "$key"
    cat "$work/host-out.txt"
    if [ "$status" -ne 0 ]; then
      echo "windows_host failed against the $flavour demo server (exit status $status):" >&2
      cat "$work/host-err.txt" >&2
      exit 1
    fi
    case $(cat "$work/host-out.txt") in
      '{"items":['*'"name":"Movies"'*'"folder":true'*'"name":"Shows"'*'"folder":true'*) ;;
      *) echo "windows_host did not list the $flavour demo's libraries" >&2; exit 1 ;;
    esac
    no_key_in_output "$key"

    # A key the server does not know: the plug-in's status -1 and message, nothing listed.
    wrong=$(printf '%s' "$key" | tr '0-9a-f' '1-9a-f0')
    run_host "$wrong"
    cat "$work/host-err.txt"
    if [ "$status" -ne 1 ] || [ -s "$work/host-out.txt" ] ||
       ! grep -q 'failed with status -1: ' "$work/host-err.txt"; then
      echo "windows_host did not report the refused key as status -1 (exit status $status)" >&2
      exit 1
    fi
    no_key_in_output "$wrong"
    stop_demo
  done
  echo "windows_host listed the libraries of both demo server flavours"
fi
echo "windows package ok: $(basename "$zip")"
