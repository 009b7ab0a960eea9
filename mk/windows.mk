# The Windows DLL, cross-built with MinGW-w64 and tested under Wine.
# `make windows`: kojelly.dll, the Windows libtessel.a and the tests, in a build folder of their
# own. `make windows-test`: every test of the library under Wine. `make windows-package`: the zip
# for Windows host developers, then a C consumer built against the unpacked zip and run under
# Wine.
WIN_BUILD ?= build-windows

.PHONY: windows-deps windows-configure windows windows-test windows-package

windows-deps:
	@scripts/install-deps.sh --check --windows 2>/dev/null || scripts/install-deps.sh --windows

windows-configure: windows-deps
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOJELLY_WERROR=ON \
	  -DKOJELLY_YYJSON_SOURCE=$(CURDIR)/.deps/yyjson-0.10.0 $(CMAKE_FLAGS) >/dev/null

windows: windows-configure
	@cmake --build $(WIN_BUILD) -j $(JOBS)

# A persistent wineserver spares every test the start of a new one.
windows-test: windows
	@scripts/wine-run.sh wineboot --init >/dev/null 2>&1 || true
	@scripts/wine-run.sh --server-persist; status=0; \
	  (cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS)) || status=$$?; \
	  scripts/wine-run.sh --server-stop; exit $$status

windows-package: windows
	@cd $(WIN_BUILD) && cpack -G ZIP >/dev/null
	@scripts/check-windows-package.sh $(WIN_BUILD) tests/plugin/exports.txt
