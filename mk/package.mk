# Debian package of the plug-in, checked after it is built.
.PHONY: package

package: build
	@cd $(BUILD) && cpack -G DEB >/dev/null
	@scripts/check-package.sh $(BUILD) tests/plugin/exports.txt
