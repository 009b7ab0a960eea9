#!/bin/sh
# kojelly.exe under Wine against the Linux tool's demo server, for each server flavour: every
# command gives the Linux tool's output and exit status byte for byte (the WinHTTP transport and
# kojelly.dll against libcurl and libkojelly.so), a failing connection names its cause without a
# secret, and `play` hands the header to a stand-in player without putting the token on its
# command line.
# Usage: wine_cli_test.sh NATIVE_TOOL WINDOWS_TOOL STAND_IN_PLAYER WINE_RUN
set -u
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
native=$(absolute "$1")
windows=$(absolute "$2")
stand_in=$(absolute "$3")
wine_run=$(absolute "$4")

# Both tools start in the scratch folder, so that a relative path names the same file to both.
work=$(mktemp -d)
cd "$work" || exit 1
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# A Windows console shows UTF-8, and the Linux tool draws a tree for the locale's character set:
# a UTF-8 locale, so that both draw it alike.
export LC_ALL=C.UTF-8

failures=0
fail() {
  echo "FAIL [$flavour] $*" >&2
  failures=$((failures + 1))
}

# The demo server on a free port; sets port and key.
start_server() {
  "$native" demo --serve --flavour "$1" >"$work/server.out" 2>&1 &
  server_pid=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/server.out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  key=$(sed -n 's/.*API key \([0-9a-f]*\).*/\1/p' "$work/server.out")
  [ -n "$port" ] && [ -n "$key" ] || { cat "$work/server.out" >&2; echo "no demo server" >&2; exit 1; }
}

# Runs the Linux tool and kojelly.exe with the same arguments: n.out/n.err/n.rc and
# w.out/w.err/w.rc in $work.
both() {
  "$native" "$@" >"$work/n.out" 2>"$work/n.err"
  echo $? >"$work/n.rc"
  "$wine_run" "$windows" "$@" >"$work/w.out" 2>"$work/w.err"
  echo $? >"$work/w.rc"
}

# same NAME RC ARGS...: both exit with RC and print the same bytes on both streams.
same() {
  name=$1
  rc=$2
  shift 2
  both "$@"
  [ "$(cat "$work/n.rc")" = "$rc" ] || fail "$name: the Linux tool exited with $(cat "$work/n.rc"), not $rc: $(cat "$work/n.err")"
  [ "$(cat "$work/w.rc")" = "$rc" ] || fail "$name: kojelly.exe exited with $(cat "$work/w.rc"), not $rc: $(cat "$work/w.err")"
  cmp -s "$work/n.out" "$work/w.out" || { fail "$name: the outputs differ"; diff "$work/n.out" "$work/w.out" | head -n 10 >&2; }
  cmp -s "$work/n.err" "$work/w.err" || { fail "$name: the messages differ"; diff "$work/n.err" "$work/w.err" | head -n 10 >&2; }
}

# A transport failure: both exit with RC; kojelly.exe's message matches PATTERN (the cause) and
# holds neither the API key nor the password.
same_failure() {
  name=$1
  rc=$2
  pattern=$3
  shift 3
  both "$@"
  [ "$(cat "$work/n.rc")" = "$rc" ] || fail "$name: the Linux tool exited with $(cat "$work/n.rc"), not $rc"
  [ "$(cat "$work/w.rc")" = "$rc" ] || fail "$name: kojelly.exe exited with $(cat "$work/w.rc"), not $rc"
  grep -Eq "$pattern" "$work/w.err" || fail "$name: the message does not name the cause: $(cat "$work/w.err")"
  if grep -Fq -e "$key" -e "$KOJELLY_PASSWORD" "$work/w.err"; then
    fail "$name: the message holds a secret"
  fi
  echo "$name: $(cat "$work/w.err")"
}

export KOJELLY_PASSWORD=demo KOJELLY_WRONG=not-the-password
device="--device-id kojelly-wine-test"
for flavour in jellyfin emby; do
  start_server "$flavour"
  export KOJELLY_API_KEY="$key"
  server="--server http://127.0.0.1:$port"
  by_key="$server --api-key-env KOJELLY_API_KEY $device"
  by_password="$server --user demo --password-env KOJELLY_PASSWORD $device"

  same "validate with an API key" 0 $by_key validate
  same "validate with a password" 0 $by_password validate
  same "validate with --insecure" 0 $by_key --insecure validate
  # A settings file holding a secret, readable by its owner only (else the Linux tool warns).
  printf '{"FullUrl":"http://127.0.0.1:%s","UserName":"demo","Password":"demo"}' "$port" \
    >settings.json
  chmod 600 settings.json
  same "validate with a settings file" 0 --settings settings.json $device validate
  same "ls of the libraries" 0 $by_key ls
  movies=$(awk '$1 == "Movies/" { print $NF }' "$work/n.out")
  shows=$(awk '$1 == "Shows/" { print $NF }' "$work/n.out")
  [ -n "$movies" ] && [ -n "$shows" ] || fail "ls of the libraries: no Movies or Shows"
  same "ls of the libraries as JSON" 0 $by_password ls --json
  same "ls of the movies, one page at a time" 0 $by_key --parallel 1 ls "$movies"
  cp "$work/w.out" "$work/movies.one"
  same "ls of the movies, four pages at once" 0 $by_password --parallel 4 ls "$movies"
  cmp -s "$work/movies.one" "$work/w.out" || fail "ls of the movies: --parallel 1 and 4 differ"
  grep -q '^1200 items$' "$work/w.out" || fail "ls of the movies: not 1200 items"
  movie=$(awk 'NR == 2 { print $NF }' "$work/w.out")
  same "tree of the shows" 0 $by_key tree "$shows" --depth 3
  same "stream --probe" 0 $by_key stream --probe "$movie"
  grep -q '^probe  *HTTP 206, Content-Range: bytes 0-' "$work/w.out" || fail "stream --probe: no 206"
  same "a wrong password" 11 $server --user demo --password-env KOJELLY_WRONG $device validate
  same "an unknown item" 12 $by_key stream 0123456789abcdef0123456789abcdef
  same_failure "an unreachable server" 14 "[Cc]onnect" \
    --server http://127.0.0.1:1 --api-key-env KOJELLY_API_KEY $device validate
  same_failure "TLS with a server that speaks none" 14 "TLS" \
    --server "https://127.0.0.1:$port" --user demo --password-env KOJELLY_PASSWORD $device validate

  # play: mpv gets the header (and the URL) from files; any other player from the environment.
  cp "$stand_in" "$work/mpv.exe"
  cp "$stand_in" "$work/player.exe"
  export KOJELLY_STAND_IN_RECORD="Z:$work/record.txt"
  token=$("$native" $by_key stream "$movie" | sed -n 's/.*Token="\([^"]*\)".*/\1/p')
  [ -n "$token" ] || fail "stream: no token in the header"
  "$wine_run" "$windows" $by_key play "$movie" --player "Z:$work/mpv.exe" >"$work/w.out" 2>"$work/w.err" ||
    fail "play with mpv: exit status $?: $(cat "$work/w.err")"
  record=$work/record.txt
  if [ ! -f "$record" ]; then
    fail "play with mpv: the player did not run"
  else
    grep '^arg ' "$record" | grep -Fq -e "$token" && fail "play with mpv: the token is on the command line"
    grep -Fq "file --include= http-header-fields-append=" "$record" || fail "play with mpv: no header file"
    grep '^file --include=' "$record" | grep -Fq "Token=\"$token\"" || fail "play with mpv: the header lacks the token"
    grep '^file --playlist=' "$record" | grep -Fq "/videos/$movie/" || fail "play with mpv: no stream URL"
    rm -f "$record"
  fi
  KOJELLY_STAND_IN_EXIT=3 "$wine_run" "$windows" $by_key play "$movie" --player "Z:$work/player.exe" \
    >"$work/w.out" 2>"$work/w.err"
  rc=$?
  [ "$rc" = 5 ] || fail "play with another player that exits with 3: exit status $rc, not 5"
  grep '^env ' "$record" 2>/dev/null | grep -Fq "Token=\"$token\"" ||
    fail "play with another player: the header is not in KOJELLY_AUTHORIZATION"
  leftovers=$("$wine_run" cmd /c "dir /b %TEMP%\\kojelly-*" 2>/dev/null | tr -d '\r')
  [ -z "$leftovers" ] || fail "play: private files left behind: $leftovers"
  rm -f "$record"

  stop_server
done

[ "$failures" = 0 ] || { echo "$failures failures" >&2; exit 1; }
echo "kojelly.exe under Wine answers as the Linux tool does"
