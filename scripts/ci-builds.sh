#!/usr/bin/env bash
# CI: kojelly builds the way its users build it.
#
#   matrix  plain `cmake -S . -B DIR -DCMAKE_BUILD_TYPE=...` builds (no warnings as errors, as a
#           user's or a distribution's build) of Debug, Release and MinSizeRel with g++ and
#           clang++; the warnings each build printed are counted, not judged. clang++ Debug is
#           left to scripts/ci-clang.sh, which builds it with warnings as errors (a stricter
#           build that proves the plain one), as `make test` does for g++ RelWithDebInfo;
#   embed   examples/embed, which takes kojelly in with add_subdirectory, configured where
#           CMake can find neither libcurl, cpp-httplib, GoogleTest nor Google Benchmark: it must
#           build the library alone and register no test.
#
# Usage: scripts/ci-builds.sh [matrix|embed|all]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
what=${1:-all}
JOBS=${JOBS:-$(nproc)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run_matrix() {
  local cc cxx type dir log
  for pair in gcc:g++ clang:clang++; do
    cc=${pair%%:*} cxx=${pair#*:}
    for type in Debug Release MinSizeRel; do
      [ "$cc/$type" = clang/Debug ] && continue
      dir=$work/$cc-$type log=$work/$cc-$type.log
      echo "== $cc $type: plain CMake build"
      CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" >/dev/null
      if ! cmake --build "$dir" -j "$JOBS" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "ci-builds: the $cc $type build failed" >&2
        exit 1
      fi
      echo "   built; $(grep -c 'warning:' "$log" || true) warning lines"
      rm -rf "$dir"
    done
  done
}

run_embed() {
  echo "== add_subdirectory consumer without libcurl, cpp-httplib, GoogleTest or Benchmark"
  # pkg-config sees yyjson alone; find_package of the others is disabled outright, so any
  # attempt to look for them fails the configure step.
  mkdir -p "$work/pc"
  cp "$(pkg-config --variable pcfiledir yyjson)/yyjson.pc" "$work/pc/"
  PKG_CONFIG_LIBDIR=$work/pc PKG_CONFIG_PATH= cmake -S examples/embed -B "$work/embed" -G Ninja --no-warn-unused-cli \
    -DKOJELLY_SOURCE_DIR="$root" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
  cmake --build "$work/embed" -j "$JOBS" >/dev/null
  local targets
  targets=$(ninja -C "$work/embed" -t targets all | grep -oE '^[^:]+' | grep -E '\.(so|a)(\.[0-9.]+)?$|^embed$' | sort)
  echo "$targets" | sed 's/^/   /'
  if echo "$targets" | grep -qE 'kojelly_cli|_tests|gtest'; then
    echo "ci-builds: the embedded build made more than the library" >&2
    exit 1
  fi
  local tests
  tests=$(cd "$work/embed" && ctest -N | awk '/Total Tests:/ { print $3 }')
  if [ "${tests:-0}" != 0 ]; then
    echo "ci-builds: the embedded build registered $tests tests" >&2
    exit 1
  fi
  "$work/embed/embed" >/dev/null
  echo "   the library alone, no test; the host lists through it"
}

case "$what" in
  matrix) run_matrix ;;
  embed) run_embed ;;
  all) run_embed; run_matrix ;;
  *) echo "usage: $0 [matrix|embed|all]" >&2; exit 2 ;;
esac
