# Front door: `make deps`, `make build`, `make test`, `make demo`.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE ?= cmake
PYTEST := /usr/bin/python3 -m pytest

.PHONY: all deps configure build build-win32 build-win64 build-native prefix test test-service test-updater test-e2e demo clean screenshot

all: build

deps:
	@tools/install-deps

configure: deps
	$(CMAKE) --preset win32 >/dev/null
	$(CMAKE) --preset win64 >/dev/null
	$(CMAKE) --preset native >/dev/null

build-win32: configure
	$(CMAKE) --build --preset win32 -j $(JOBS)

build-win64: configure
	$(CMAKE) --build --preset win64 -j $(JOBS)

build-native: configure
	$(CMAKE) --build --preset native -j $(JOBS)

build: build-win32 build-win64 build-native

# A booted Wine prefix that every test copies instead of booting its own.
prefix: build/wineprefix-template/.ready
build/wineprefix-template/.ready: tests/harness/make-template-prefix
	tests/harness/make-template-prefix build/wineprefix-template

test: deps build prefix
	@rc=0; \
	$(MAKE) --no-print-directory test-service || rc=1; \
	$(MAKE) --no-print-directory test-updater || rc=1; \
	$(MAKE) --no-print-directory test-e2e || rc=1; \
	exit $$rc

test-service:
	ctest --preset win64 -j $(JOBS)

test-updater:
	@if [ -f build/native/CTestTestfile.cmake ] && grep -q add_test -r build/native --include=CTestTestfile.cmake; then \
	  QT_QPA_PLATFORM=offscreen ctest --preset native -j $(JOBS); \
	else echo "no updater tests"; fi

# End-to-end tests run in a private network namespace: loopback only, ports 443 and 80 free.
test-e2e:
	tests/harness/in-netns $(PYTEST) -q -p no:cacheprovider tests/e2e

# The build's own output goes to build/demo-build.log, so the demo's account stays readable.
demo: deps
	@mkdir -p build
	@echo "building (log: build/demo-build.log) ..."
	@$(MAKE) --no-print-directory build prefix >build/demo-build.log 2>&1 || \
	  { tail -40 build/demo-build.log; echo "demo: the build failed"; exit 1; }
	@tools/demo

# PNGs of the desktop updater's dialog drawn on a virtual X screen: in the middle of an update,
# and the notice that stays up after an update that skipped entries.
screenshot: build-native
	@mkdir -p build/screenshots
	xvfb-run -a -s "-screen 0 800x600x24" build/native/tests/updater/updater-screenshot \
	  build/screenshots/desktop-updater.png >build/screenshots/desktop-updater.log 2>&1
	xvfb-run -a -s "-screen 0 800x600x24" build/native/tests/updater/updater-screenshot \
	  build/screenshots/desktop-updater-refused.png --refused >>build/screenshots/desktop-updater.log 2>&1
	@echo "saved build/screenshots/desktop-updater.png and build/screenshots/desktop-updater-refused.png"

clean:
	rm -rf build
