# The Windows DLL and tool, cross-built with MinGW-w64 and tested under Wine.
# `make windows`: kojelly.dll, kojelly.exe, the Windows libtessel.a and the tests, in a build
# folder of their own. `make windows-test`: every test of the library under Wine, and kojelly.exe
# against the demo server of the Linux tool, which it builds first (in $(BUILD)).
# `make windows-package`: the zip for Windows host developers, then C hosts built against the
# unpacked zip and run under Wine, one of them against the Linux tool's demo server.
# `make windows-bench`: the listing benchmark against kojelly.dll under Wine, see below.
WIN_BUILD ?= build-windows

.PHONY: windows-deps windows-configure windows windows-test windows-package windows-bench

windows-deps:
	@scripts/install-deps.sh --check --windows 2>/dev/null || scripts/install-deps.sh --windows

windows-configure: windows-deps
	@cmake -S . -B $(WIN_BUILD) -G Ninja --no-warn-unused-cli \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOJELLY_WERROR=ON -DKOJELLY_TOOLS=ON \
	  -DKOJELLY_YYJSON_SOURCE=$(CURDIR)/.deps/yyjson-0.10.0 \
	  -DKOJELLY_NATIVE_TOOL=$(CURDIR)/$(BUILD)/tools/kojelly/kojelly $(CMAKE_FLAGS) >/dev/null

windows: windows-configure
	@cmake --build $(WIN_BUILD) -j $(JOBS)

# A persistent wineserver spares every test the start of a new one.
windows-test: build windows
	@scripts/wine-run.sh --server-persist && status=0 && \
	  (cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS)) || status=$$?; \
	  scripts/wine-run.sh --server-stop; exit $$status

windows-package: build windows
	@cd $(WIN_BUILD) && cpack -G ZIP >/dev/null
	@scripts/check-windows-package.sh $(WIN_BUILD) tests/plugin/exports.txt \
	  $(CURDIR)/$(BUILD)/tools/kojelly/kojelly

# The listing benchmark (bench/bench_main.cpp) against kojelly.dll, run under Wine; its console
# table is printed. WIN_BENCH_TYPE: the build type, RelWithDebInfo (as `make windows` builds the
# DLL) or Release, each in a folder of its own. WIN_BENCH_FILTER: the cases, by default the two
# paired ratios.
WIN_BENCH_TYPE ?= RelWithDebInfo
WIN_BENCH_BUILD ?= build-windows-bench$(if $(filter-out RelWithDebInfo,$(WIN_BENCH_TYPE)),-$(WIN_BENCH_TYPE))
WIN_BENCH_FILTER ?= E1_over_P|E2_over_P_sum

windows-bench: windows-deps
	@cmake -S . -B $(WIN_BENCH_BUILD) -G Ninja --no-warn-unused-cli \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=$(WIN_BENCH_TYPE) -DKOJELLY_WERROR=ON -DKOJELLY_TESTS=OFF \
	  -DKOJELLY_BENCH=ON -DKOJELLY_YYJSON_SOURCE=$(CURDIR)/.deps/yyjson-0.10.0 \
	  -DKOJELLY_BENCHMARK_SOURCE=$(CURDIR)/.deps/benchmark-1.7.1 $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(WIN_BENCH_BUILD) --target kojelly_bench -j $(JOBS)
	@scripts/wine-run.sh --server-persist && status=0 && \
	  scripts/wine-run.sh $(WIN_BENCH_BUILD)/bin/kojelly_bench.exe \
	    --benchmark_filter='$(WIN_BENCH_FILTER)' || status=$$?; \
	  scripts/wine-run.sh --server-stop; exit $$status
