#!/usr/bin/env bash
# CI: the benchmarks still build and run, and the Python transform still agrees with the
# library's listing. One short repetition; the figures are printed, not judged.
set -euo pipefail
cd "$(dirname "$0")/.."
BENCH_BUILD=${BENCH_BUILD:-build-bench-smoke} exec scripts/bench.sh --smoke
