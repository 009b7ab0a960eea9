#!/bin/sh
# Compares the symbols that the plug-in exports with the checked-in list: the dynamic symbols of
# libkojelly.so, or the export table of kojelly.dll. A DLL must also import from Windows' own
# DLLs only (KERNEL32 and the system C runtime), so a Windows host needs nothing beside it.
set -eu
lib=$1
expected=$2
case $lib in
  *.dll)
    dump=$(x86_64-w64-mingw32-objdump -p "$lib")
    actual=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
                                          t && /^[[:space:]]*\[/ { print $NF; next } t { t = 0 }' | sort)
    imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print $3 }' | sort -u)
    unexpected=$(printf '%s\n' "$imports" | grep -viE '^(KERNEL32|msvcrt)\.dll$' || true)
    if [ -n "$unexpected" ]; then
      echo "$lib imports from DLLs that Windows does not ship:" $unexpected
      exit 1
    fi
    ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWi]$/ { print $3 }' \
             | grep -vE '^(_init|_fini|_edata|_end|__bss_start)$' | sed 's/@.*//' | sort)
    ;;
esac
want=$(sort "$expected")
if [ "$actual" != "$want" ]; then
  echo "exported symbols differ from $expected:"
  printf '%s\n' "$want" > /tmp/kojelly_exports_want.$$
  printf '%s\n' "$actual" | diff /tmp/kojelly_exports_want.$$ - || true
  rm -f /tmp/kojelly_exports_want.$$
  exit 1
fi
