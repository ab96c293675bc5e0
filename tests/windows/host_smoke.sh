#!/usr/bin/env bash
# Runs host_probe under Wine with piped input, then checks from the Linux
# side what it printed and the files it left in c:\images\smoke\, which is
# IMAGES/smoke here: a descriptor with CR LF line ends, a raster whose bytes
# no text stream has touched, a file replaced through a temporary file, no
# temporary file left.
#   host_smoke.sh IMAGES WINDOWS_COMMAND...
set -uo pipefail
images=$1
shift
dir="$images/smoke"
rm -rf "$dir"
mkdir -p "$dir"

failed=0
fail() { echo "FAILED: $*"; failed=1; }

out=$(printf 'kbc\r\nrest\r\n' | "$@" | tr -d '\r')
status=$?
echo "$out"
[ "$status" -eq 0 ] || fail "host_probe ended with status $status"
expected='folder: c:\images\smoke\
descriptor: ok
raster: ok
replace: ok
memory: ok
exclusive creation: ok
after the key: bc
temporary file: ok'
[ "$out" = "$expected" ] || fail "the probe's output is not the expected one"

# Binary files compared through od, which shows every byte.
bytes() { od -An -tx1 -v "$1" | tr -s ' \n' ' '; }
want_bytes() { printf "$1" | od -An -tx1 -v | tr -s ' \n' ' '; }

[ "$(bytes "$dir/probe_m2.txt")" = "$(want_bytes '2\r\n3\r\n2\r\n0\r\n65535\r\n5\r\n\r\n\r\n positive values\r\n\r\n Volume = 1.500000 m3 ')" ] ||
    fail "probe_m2.txt is not the descriptor with CR LF line ends: $(bytes "$dir/probe_m2.txt")"
[ "$(bytes "$dir/probe_m2.raw")" = "$(want_bytes '\r\n\n\0\032\0\377\377\0\r4\022')" ] ||
    fail "probe_m2.raw does not hold the values' bytes: $(bytes "$dir/probe_m2.raw")"
[ "$(bytes "$dir/replaced.txt")" = "$(want_bytes 'new\r\n')" ] ||
    fail "replaced.txt was not replaced: $(bytes "$dir/replaced.txt")"
[ "$(bytes "$dir/fresh.txt")" = "$(want_bytes 'fresh\r\n')" ] ||
    fail "fresh.txt was not written through a temporary file in text mode: $(bytes "$dir/fresh.txt")"
[ "$(bytes "$dir/taken.txt")" = "$(want_bytes 'taken\r\n')" ] ||
    fail "taken.txt was written over: $(bytes "$dir/taken.txt")"
leftover=$(cd "$dir" && ls -- *.tmp 2>/dev/null)
[ -z "$leftover" ] || fail "temporary files left: $leftover"
exit $failed
