#!/usr/bin/env bash
# Fuzzing with libFuzzer: builds every target of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory of its own, and runs each one starting from
# its seed corpus (fuzz/corpus/<target>/) with its dictionary (fuzz/dict/).
#
#   smoke  each target for FUZZ_SMOKE_SECONDS (default 5): every seed is run again first, so
#          this is CI's regression check, followed by a few seconds of new inputs;
#   long   each target for FUZZ_SECONDS (default 600).
#
# New inputs go to <build>/corpus/<target>/, never into the source tree; a crash leaves its
# input in <build>/artifacts/. To keep the coverage a long run found, merge it into the seeds:
#   <build>/fuzz/fuzz_<target> -merge=1 fuzz/corpus/<target> <build>/corpus/<target>
#
# Usage: scripts/fuzz.sh [smoke|long] [target...]   (default: smoke, every target)
# Environment: FUZZ_BUILD (default build-fuzz), JOBS (default: the number of processors).
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-smoke}
shift || true
case "$mode" in
  smoke) seconds=${FUZZ_SMOKE_SECONDS:-5} ;;
  long) seconds=${FUZZ_SECONDS:-600} ;;
  *) echo "usage: $0 [smoke|long] [target...]" >&2; exit 2 ;;
esac
BUILD=${FUZZ_BUILD:-build-fuzz}
JOBS=${JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ is missing (scripts/install-deps.sh installs clang and libclang-rt-dev)" >&2
  exit 1
fi

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

# The dictionary of each target: the JSON keys for the answer parsers, and a syntax of its own
# for settings, addresses, redaction and ranges.
dict_of() {
  case "$1" in
    settings | tool_settings) echo fuzz/dict/settings.dict ;;
    url_norm) echo fuzz/dict/url.dict ;;
    redact) echo fuzz/dict/redact.dict ;;
    content_range | fake_range) echo fuzz/dict/range.dict ;;
    *) echo fuzz/dict/json.dict ;;
  esac
}

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DKOJELLY_TESTS=OFF -DKOJELLY_WERROR=ON -DKOJELLY_FUZZ=ON -DKOJELLY_SANITIZE=address,undefined >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$BUILD" -j "$JOBS" --target "${build_targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

mkdir -p "$BUILD/artifacts" "$BUILD/logs"
failed=()
printf '%-16s %12s %8s  %s\n' target executions seconds result
for t in "${targets[@]}"; do
  work="$BUILD/corpus/$t"
  log="$BUILD/logs/$t.log"
  mkdir -p "$work"
  args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$BUILD/artifacts/$t-")
  dict=$(dict_of "$t")
  [ -f "$dict" ] && args+=(-dict="$dict")
  result=ok
  if ! "$BUILD/fuzz/fuzz_$t" "${args[@]}" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    result="FAILED (log: $log)"
    failed+=("$t")
  fi
  runs=$(awk '/stat::number_of_executed_units:/ { print $2 }' "$log" | tail -n 1)
  printf '%-16s %12s %8s  %s\n' "$t" "${runs:-?}" "$seconds" "$result"
done

if [ "${#failed[@]}" -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "== $t" >&2
    grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$BUILD/logs/$t.log" >&2 || tail -n 30 "$BUILD/logs/$t.log" >&2
  done
  echo "fuzz: ${failed[*]} failed; rerun an input with $BUILD/fuzz/fuzz_<target> <input>" >&2
  exit 1
fi
