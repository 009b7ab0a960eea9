#!/usr/bin/env bash
# Builds the benchmark program twice, against the library as `make` builds and packages it
# (RelWithDebInfo, -O2) and as a Release build (-O3), and runs both, then the Python comparison
# on the same page; prints the ratios of each build and writes docs/performance.md with its
# chart. With --smoke: one short repetition, the ratios printed, the page written into the
# result folder instead of docs/ (for CI, where the figures mean nothing).
#
# Environment: BENCH_BUILD (the Release build folder, default build-bench), BENCH_BUILD_RWDI (the
# RelWithDebInfo one, default BENCH_BUILD-rwdi), BENCH_OUT (results, default
# BENCH_BUILD/bench-results), BENCH_REPS (repetitions, default 5), BENCH_MIN_TIME (seconds per
# repetition, default 0.5), BENCH_FILTER (a --benchmark_filter regex), BENCH_QUIET_WAIT (wait up
# to this many seconds for the one-minute load average to fall below BENCH_QUIET_LOAD, default
# 0.5, before measuring; default 0: do not wait).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
smoke=0
if [ "${1:-}" = "--smoke" ]; then smoke=1; fi

build=${BENCH_BUILD:-$root/build-bench}
build_rwdi=${BENCH_BUILD_RWDI:-$build-rwdi}
out=${BENCH_OUT:-$build/bench-results}
reps=${BENCH_REPS:-5}
min_time=${BENCH_MIN_TIME:-0.5}
py_reps=${BENCH_PY_REPS:-21}
md=$root/docs/performance.md
chart=$root/docs/listing_time.svg
if [ "$smoke" = 1 ]; then
  reps=1
  min_time=0.001
  py_reps=3
  md=$out/performance.md
  chart=$out/listing_time.svg
fi

# The builds measured, by CMake build type, and their folders: the packaged one first, then
# Release, whose folder ($build) is the one later blocks build their own programs in. Each run
# writes $out/bench-<type>.json; report.py reads them together from $out/bench.json.
build_types=(RelWithDebInfo Release)
build_dirs=("$build_rwdi" "$build")
for i in "${!build_types[@]}"; do
  cmake -S "$root" -B "${build_dirs[i]}" -G Ninja -DCMAKE_BUILD_TYPE="${build_types[i]}" \
    -DKOJELLY_BENCH=ON -DKOJELLY_TESTS=OFF -DKOJELLY_WERROR=ON >/dev/null
  cmake --build "${build_dirs[i]}" --target kojelly_bench -j "$(nproc)"
done

mkdir -p "$out" "$(dirname "$md")"
quiet_load=${BENCH_QUIET_LOAD:-0.5}
waited=0
while [ "$waited" -lt "${BENCH_QUIET_WAIT:-0}" ] &&
      awk -v l="$quiet_load" '{ exit !($1 >= l) }' /proc/loadavg; do
  sleep 10
  waited=$((waited + 10))
done
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
if awk -v n="$(nproc)" '{ exit !($1 >= n / 4) }' /proc/loadavg; then
  echo "warning: the machine is busy; the figures will be noisy (BENCH_QUIET_WAIT waits)" >&2
fi
args=(--emit_dir="$out" --benchmark_min_time="$min_time" --benchmark_out_format=json)
if [ "$reps" -gt 1 ]; then
  # Repetitions of all cases are run in a random order, so that a stretch of load from another
  # process does not fall on the repetitions of one case only.
  args+=(--benchmark_repetitions="$reps" --benchmark_display_aggregates_only=true
         --benchmark_enable_random_interleaving=true)
fi
if [ -n "${BENCH_FILTER:-}" ]; then args+=(--benchmark_filter="$BENCH_FILTER"); fi
results=()
for i in "${!build_types[@]}"; do
  echo "== ${build_types[i]}"
  result=$out/bench-${build_types[i]}.json
  "${build_dirs[i]}/bench/kojelly_bench" "${args[@]}" --benchmark_out="$result"
  results+=("${build_types[i]}=$result")
done
python3 "$root/bench/report.py" --combine "$out/bench.json" "${results[@]}"

python3 "$root/bench/python_transform.py" "$out/page_500.json" --reps "$py_reps" \
  --check "$out/listing_500.json" --out "$out/python.json"
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average after: $load_after"

echo
python3 "$root/bench/report.py" --bench "$out/bench.json" --python "$out/python.json" \
  --md "$md" --chart "$chart" --findings "$root/bench/findings.md" --load-after "$load_after"

# The slow-server benchmark, a program of its own: a 100000-item listing through an io that
# waits 20 ms and 200 ms on every request, with ParallelPages 1, 2, 4 and 8 (with --smoke, a
# 2000-item folder at 1 ms). Its section goes at the end of the page written above, its chart
# beside that page's.
cmake --build "$build" --target kojelly_bench_slow -j "$(nproc)"
slow_load=$(cut -d' ' -f1-3 /proc/loadavg)
slow_args=(--benchmark_out="$out/bench_slow.json" --benchmark_out_format=json)
if [ "$smoke" = 1 ]; then slow_args+=(--smoke); fi
"$build/bench/kojelly_bench_slow" "${slow_args[@]}"
python3 "$root/bench/report_slow.py" --bench "$out/bench_slow.json" --md "$md" \
  --chart "$(dirname "$chart")/parallel_pages.svg" \
  --load "$slow_load / $(cut -d' ' -f1-3 /proc/loadavg)"
