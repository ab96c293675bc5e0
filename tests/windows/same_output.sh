#!/usr/bin/env bash
# Runs a program built for Linux and the same program built for Windows,
# which prints with CR LF line ends; passes when both end well and print the
# same text once CR LF is folded to LF.
#   same_output.sh LINUX_PROGRAM WINDOWS_COMMAND...
set -uo pipefail
linux=$1
shift
expected=$("$linux") || { echo "the Linux program failed"; exit 1; }
got=$("$@" | tr -d '\r') || { echo "the Windows program failed"; exit 1; }
if [ "$expected" != "$got" ]; then
    printf 'Linux:\n%s\nWindows:\n%s\n' "$expected" "$got"
    exit 1
fi
printf '%s\n' "$got"
