#!/bin/sh
# The source folders form layers that point one way:
#   plugin -> client -> request -> wire -> util -> http
# with fakes beside them: the plug-in's fake io (fakes/kojelly_*) may use util and http, the
# HTTP support library's fake server (fakes/tessel_*, built into tessel) only http, and only
# plugin may use the fakes. A file may include headers of its own folder and of the folders
# below it, never of one above: otherwise the layers turn into a cycle and none of them can be
# read or tested on its own.
# Usage: check_layers.sh SRC_DIR. Prints each offending include; exit status 1 when there is one.
set -eu
src=$1

rank() {
  case $1 in
    http) echo 0 ;;
    util) echo 1 ;;
    wire) echo 2 ;;
    request) echo 3 ;;
    client) echo 4 ;;
    plugin) echo 5 ;;
    fakes) echo beside ;;
    *) echo "" ;;
  esac
}

# Is the fakes file $1 built into tessel: a tessel_* file, or a header that one includes?
in_tessel() {
  case $(basename "$1") in tessel_*) return 0 ;; esac
  grep -qs "#[[:space:]]*include[[:space:]]*\"fakes/$(basename "$1")\"" "$src"/fakes/tessel_*
}

# May file $3 in folder $1 include a header of folder $2?
allowed() {
  [ "$1" = "$2" ] && return 0
  [ "$2" = fakes ] && { [ "$1" = plugin ]; return; }
  if [ "$1" = fakes ]; then
    if in_tessel "$3"; then [ "$2" = http ]; else [ "$2" = util ] || [ "$2" = http ]; fi
    return
  fi
  awk -v a="$(rank "$1")" -v b="$(rank "$2")" 'BEGIN { exit !(b < a) }'
}

bad=0
for dir in "$src"/*/; do
  layer=$(basename "$dir")
  [ -n "$(rank "$layer")" ] || continue
  for file in "$dir"*; do
    case $file in *.cpp | *.hpp | *.c | *.h) ;; *) continue ;; esac
    # Quoted includes of the form "folder/header".
    for target in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z]*\)\/.*/\1/p' "$file" | sort -u); do
      [ -n "$(rank "$target")" ] || continue
      if ! allowed "$layer" "$target" "$file"; then
        grep -n "#[[:space:]]*include[[:space:]]*\"$target/" "$file" |
          sed "s|^|${file#"$src"/}:|; s|\$|   ($layer may not include $target)|"
        bad=1
      fi
    done
  done
done
exit $bad
