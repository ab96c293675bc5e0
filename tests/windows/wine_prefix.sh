#!/bin/sh
# The Wine prefix of the Windows tests, $WINEPREFIX.
#   wine_prefix.sh setup   creates it once (a few seconds, longer the first
#                          time Wine runs on the machine) and starts its Wine
#                          server for the whole test run
#   wine_prefix.sh stop    ends the Wine server of this prefix and what runs in it
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
ready="$WINEPREFIX/.initialised"
case "${1:-}" in
setup)
    if [ ! -f "$ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i
        wineserver -w # the registry is on disk once the server has ended
        touch "$ready"
    fi
    mkdir -p "$WINEPREFIX/drive_c/images"
    # A server that outlives every client: by default it ends a few seconds
    # after the last program, and a program started while it is ending can
    # fail with no output at all (seen as an empty dialogue with status 1).
    wineserver -p </dev/null >/dev/null 2>&1 || true # already running: kept
    # Its services (winedevice and the others) start with the first
    # program and stay as long as the server: started here, detached, so
    # that they do not hold a test's output open until its time runs out.
    wineboot </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k 2>/dev/null || true
    ;;
*)
    echo "usage: $0 setup|stop" >&2
    exit 2
    ;;
esac
