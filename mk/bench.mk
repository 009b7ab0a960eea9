# Benchmarks: `make bench` measures and rewrites docs/performance.md; `make bench-smoke` is the
# short run that CI makes.
BENCH_BUILD ?= build-bench

.PHONY: bench bench-smoke

bench: deps
	@BENCH_BUILD=$(BENCH_BUILD) scripts/bench.sh

bench-smoke: deps
	@scripts/ci-bench-smoke.sh
