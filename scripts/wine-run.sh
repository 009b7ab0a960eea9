#!/bin/sh
# Runs a Windows program under Wine, quietly and in a prefix of the project's own, so that the
# user's ~/.wine is never touched. The prefix is made on first use (about 10 s), under a lock so
# that tests started at once do not make it twice, and reused after that.
# KOJELLY_WINEPREFIX names another prefix.
#   wine-run.sh PROGRAM [ARGS]   runs PROGRAM
#   wine-run.sh --server-persist keeps the prefix's wineserver and its services running, so that
#                                later programs start at once (a test suite starts hundreds)
#   wine-run.sh --server-stop    ends that wineserver
set -eu
export WINEPREFIX="${KOJELLY_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/kojelly/wine}"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: the programs here need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] || { wineboot --init >/dev/null 2>&1; wineserver --wait; }
  ) 9>"$WINEPREFIX.lock"
fi
case ${1:-} in
  --server-persist)
    # While a server of the prefix still runs (one lingers for a few seconds after its last
    # program), a persistent one cannot start: it would leave the programs to start and stop
    # servers of their own, and a program that connects to one that is ending fails. Let it end
    # first; one that does not end is a persistent server left over, which is replaced.
    timeout 30 wineserver --wait || wineserver --kill
    wineserver --persistent
    # The prefix's services (services.exe, winedevice.exe, ...) start with the first program
    # and live as long as the server. Started here, they hold /dev/null; started by a test,
    # they would hold its output open, and whoever reads it (ctest) would wait for them.
    exec wine wineboot </dev/null >/dev/null 2>&1 ;;
  --server-stop) exec wineserver --kill ;;
esac
exec wine "$@"
