#!/bin/sh
# Compares the dynamic symbols that the plug-in defines with the checked-in list.
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWi]$/ { print $3 }' \
         | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sed 's/@.*//' | sort)
want=$(sort "$expected")
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from $expected:"
  printf '%s\n' "$want" > /tmp/kojelly_exports_want.$$
  printf '%s\n' "$actual" | diff /tmp/kojelly_exports_want.$$ - || true
  rm -f /tmp/kojelly_exports_want.$$
  exit 1
fi
