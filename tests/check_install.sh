#!/bin/sh
# Installs the build under a scratch prefix and checks what lands there:
#   check_install.sh CMAKE BUILD PREFIX TOOL "PROGRAMS" MAN(0|1)
# Every program of the list is in PREFIX/bin and runs (the companions answer
# --version with their name); with MAN=1 each companion has its page in
# PREFIX/share/man/man1; the README is in PREFIX/share/doc.
set -eu
cmake=$1 build=$2 prefix=$3 tool=$4 programs=$5 man=$6
rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" > /dev/null
status=0
for p in $(echo "$programs" | tr ';' ' '); do
  if [ ! -x "$prefix/bin/$p" ]; then
    echo "missing: $prefix/bin/$p"; status=1; continue
  fi
  [ "$p" = "$tool" ] && continue
  "$prefix/bin/$p" --version | grep -q "^$p " || { echo "$p --version does not name it"; status=1; }
  if [ "$man" = 1 ] && ! grep -q "$p" "$prefix/share/man/man1/$p.1" 2>/dev/null; then
    echo "missing or empty: $prefix/share/man/man1/$p.1"; status=1
  fi
done
[ -f "$prefix/share/doc/skarnovelt_v2/README.md" ] || { echo "missing: the README"; status=1; }
rm -rf "$prefix"
exit $status
