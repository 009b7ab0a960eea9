# Thin wrapper over the install script and CMake. `make test` and `make demo` do all the set-up:
# the install script runs only when something is missing. A plain CMake build never installs
# anything. The make targets treat warnings as errors; a user's own CMake build does not.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps configure build test demo clean

deps:
	@scripts/install-deps.sh --check 2>/dev/null || scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOJELLY_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@$(BUILD)/tools/kojelly/kojelly demo

clean:
	@rm -rf $(BUILD)

# Further targets (hardening, benchmarks, packaging) live beside this file.
-include mk/*.mk
