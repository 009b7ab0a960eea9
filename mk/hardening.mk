# Hardening. `make torture`: the allocation-failure torture of every export and handler, the JSON
# conformance gate and the concurrency stress (the ctest label "torture") in the main build.
# `make fuzz-smoke`: every fuzz target for a few seconds over its seed corpus (CI's regression
# check); `make fuzz`: ten minutes each. `make sanitize`: the whole suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the concurrency tests under ThreadSanitizer.
FUZZ_BUILD ?= build-fuzz

.PHONY: torture fuzz-smoke fuzz sanitize

torture: configure
	@cmake --build $(BUILD) -j $(JOBS) --target torture_tests
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L torture

fuzz-smoke: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz.sh smoke

fuzz: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz.sh long

sanitize: deps
	@JOBS=$(JOBS) scripts/ci-sanitizers.sh
