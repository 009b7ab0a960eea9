#!/usr/bin/env bash
# CI: the test suite under the sanitizers, each in a build directory of its own.
#
#   asan  every test under AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer comes
#         with AddressSanitizer), in build-asan;
#   tsan  the concurrency tests under ThreadSanitizer, in build-tsan: only the test binaries
#         that hold such a test are built, and ctest runs the tests whose names match
#         TSAN_TESTS.
#
# Usage: scripts/ci-sanitizers.sh [asan|tsan|all]   (default: all)
# Environment: ASAN_DIR, TSAN_DIR (build directories), CC and CXX (default gcc),
# JOBS (default: the number of processors), TSAN_TESTS (the ctest -R regex).
set -euo pipefail
cd "$(dirname "$0")/.."

what=${1:-all}
JOBS=${JOBS:-$(nproc)}
ASAN_DIR=${ASAN_DIR:-build-asan}
TSAN_DIR=${TSAN_DIR:-build-tsan}
# Concurrency tests are named for what they race: "Concurrent...", "...Thread...", "Race...",
# "...Stress...", "LockIsFree..." (a lock left free while callbacks run) and
# "...WhileRequestsRun".
TSAN_TESTS=${TSAN_TESTS:-'Concurren|Thread|Race|Stress|LockIsFree|WhileRequestsRun'}

# gcc by default: its sanitizers link their runtime into the plug-in's shared object as well,
# which the plug-in's -z defs link needs (clang leaves the runtime to the executable).
export CC=${CC:-gcc} CXX=${CXX:-g++}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

configure() {  # dir sanitizers
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOJELLY_TESTS=ON -DKOJELLY_WERROR=ON \
        -DKOJELLY_SANITIZE="$2" >/dev/null
}

# The test binaries (tests/<dir> builds <dir>_tests) with a test whose suite or name matches
# the regex; the TEST lines are joined first, since a long one may be broken over two lines.
tsan_targets() {
  local dir
  for dir in tests/*/; do
    compgen -G "${dir}*_test.cpp" >/dev/null || continue
    if cat "${dir}"*_test.cpp | tr '\n' ' ' | grep -oE 'TEST(_F|_P)?\([^)]*\)' |
         grep -qE "$TSAN_TESTS"; then
      echo "$(basename "$dir")_tests"
    fi
  done
}

run_asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test ($ASAN_DIR)"
  configure "$ASAN_DIR" address,undefined
  cmake --build "$ASAN_DIR" -j "$JOBS"
  (cd "$ASAN_DIR" && ctest --output-on-failure -j "$JOBS" -LE e2e)
  # The end-to-end tests run the tool as child processes of the test; LeakSanitizer's exit
  # check stops the world with ptrace, which fails at random there, so those children run
  # without the leak check (every other sanitizer check stays on; the library's own leaks are
  # covered by the run above).
  (cd "$ASAN_DIR" && ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
     ctest --output-on-failure -j "$JOBS" -L e2e)
}

run_tsan() {
  echo "== ThreadSanitizer: tests matching '$TSAN_TESTS' ($TSAN_DIR)"
  local targets
  mapfile -t targets < <(tsan_targets)
  if [ "${#targets[@]}" -eq 0 ]; then
    echo "ci-sanitizers: no test matches '$TSAN_TESTS'" >&2
    exit 1
  fi
  echo "   binaries: ${targets[*]}"
  configure "$TSAN_DIR" thread
  cmake --build "$TSAN_DIR" -j "$JOBS" --target "${targets[@]}"
  # Binaries that were not built register a placeholder test named <target>_NOT_BUILT; the
  # regex never matches one of those.
  (cd "$TSAN_DIR" && ctest --output-on-failure -j "$JOBS" -R "$TSAN_TESTS" --no-tests=error)
}

case "$what" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 [asan|tsan|all]" >&2; exit 2 ;;
esac
