# Front door: `make deps`, `make build`, `make test`, `make demo`.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
CMAKE ?= cmake
PYTEST := /usr/bin/python3 -m pytest

.PHONY: all deps deps-packages toolchain configure configure-win32-desktop configure-win64-desktop build build-win32 build-win64 build-native build-win32-desktop build-win64-desktop build-desktop-windows prefix test test-layers test-service test-service-win32 test-service-win64 test-updater test-updater-win32 test-updater-win64 test-updater-windows test-e2e test-fuzz-short fuzz soak soak-service demo release release-check clean screenshot

all: build

deps: deps-packages toolchain

deps-packages:
	@tools/install-deps

# Static Qt and OpenSSL for the Windows desktop updater, built once per machine from Debian's
# sources into a cache outside the checkout (about 25 minutes cold per target, seconds when
# cached): for i686 where this machine runs 32-bit programs, for the x86_64 twin where it does
# not, or where that toolchain is cached already or VEXTRA_DESKTOP_TWIN=1 (tools/desktop-targets).
toolchain: deps-packages
	@tools/build-mingw-qt --needed

configure: deps-packages
	$(CMAKE) --preset win32 >/dev/null
	$(CMAKE) --preset win64 >/dev/null
	$(CMAKE) --preset native >/dev/null

configure-win32-desktop: toolchain
	$(CMAKE) --preset win32-desktop >/dev/null

configure-win64-desktop: toolchain
	$(CMAKE) --preset win64-desktop >/dev/null

build-win32: configure
	$(CMAKE) --build --preset win32 -j $(JOBS)

build-win64: configure
	$(CMAKE) --build --preset win64 -j $(JOBS)

build-native: configure
	$(CMAKE) --build --preset native -j $(JOBS)

# The shipped desktop updater: build/win32-desktop/desktop-updater.exe, and its tests; its
# x86_64 twin in build/win64-desktop/. build-desktop-windows builds those whose toolchain is here.
build-win32-desktop: configure-win32-desktop
	$(CMAKE) --build --preset win32-desktop -j $(JOBS)

build-win64-desktop: configure-win64-desktop
	$(CMAKE) --build --preset win64-desktop -j $(JOBS)

build-desktop-windows: toolchain
	@for preset in $$(tools/desktop-targets --presets); do \
	  $(CMAKE) --preset $$preset >/dev/null && $(CMAKE) --build --preset $$preset -j $(JOBS) || exit 1; \
	done

build: build-win32 build-win64 build-native build-desktop-windows

# A booted Wine prefix that every test copies instead of booting its own. It is booted again
# when the loaders it records differ from those installed now (a prefix booted before the 32-bit
# loader came has no 32-bit DLLs), whatever the files' times say.
prefix:
	@tests/harness/make-template-prefix --if-stale build/wineprefix-template

# The shipped program is the i686 build: its unit programs run under Wine's WoW64 first, then the
# x86_64 twin's (which catch pointer-size faults), and the end-to-end suite runs the i686 program.
# A machine that cannot run 32-bit programs says so in one loud line and tests the twin alone.
test: deps build prefix
	@rc=0; \
	$(MAKE) --no-print-directory test-layers || rc=1; \
	if tools/probe-i386; then arch=win32; else arch=win64; fi; \
	if [ $$arch = win32 ]; then $(MAKE) --no-print-directory test-service-win32 || rc=1; fi; \
	$(MAKE) --no-print-directory test-service-win64 || rc=1; \
	$(MAKE) --no-print-directory test-updater || rc=1; \
	$(MAKE) --no-print-directory test-updater-windows || rc=1; \
	$(MAKE) --no-print-directory test-e2e E2E_ARCH=$$arch || rc=1; \
	$(MAKE) --no-print-directory test-fuzz-short || rc=1; \
	exit $$rc

# Every include under service/ and updater/ points down the layers (the list is in the script),
# and no function there runs over 100 lines.
test-layers:
	tools/check-layers
	tools/function-lengths --over 100

test-service: test-service-win32 test-service-win64

test-service-win32:
	ctest --preset win32 -j $(JOBS)

test-service-win64:
	ctest --preset win64 -j $(JOBS)

test-updater:
	@if [ -f build/native/CTestTestfile.cmake ] && grep -q add_test -r build/native --include=CTestTestfile.cmake; then \
	  QT_QPA_PLATFORM=offscreen ctest --preset native -j $(JOBS); \
	else echo "no updater tests"; fi

# The desktop updater's Qt tests, cross-built, under Wine (offscreen platform): the shipped i686
# program under WoW64, the x86_64 twin under wine64. test-updater-windows runs each that is built
# and runs here, and says so when none is.
test-updater-win32:
	ctest --preset win32-desktop -j $(JOBS)

test-updater-win64:
	ctest --preset win64-desktop -j $(JOBS)

test-updater-windows:
	@presets=$$(tools/desktop-targets --test); rc=0; \
	if [ -z "$$presets" ]; then echo "*** NO WINDOWS DESKTOP TESTS: no toolchain for a program this machine runs (make deps)"; exit 1; fi; \
	for preset in $$presets; do ctest --preset $$preset -j $(JOBS) || rc=1; done; exit $$rc

# The parsers of untrusted bytes under libFuzzer with ASan and UBSan, built natively with clang
# (fuzz/). `make fuzz` runs each target for FUZZ_SECONDS (default 60); the short run replays
# each seed corpus and a few thousand executions more. A crash or broken oracle leaves its
# input in build/fuzz/crashes/ and fails.
FUZZ_SECONDS ?= 60
fuzz: deps-packages
	FUZZ_SECONDS=$(FUZZ_SECONDS) tools/run-fuzz

test-fuzz-short:
	tools/run-fuzz --short

# The desktop updater's simulation (tests/updater/simulation/) for as long as asked: rounds of
# SOAK_ROUND_CASES drawn cases, each with a fresh seed, until SOAK_SECONDS have passed or a case
# fails (it prints its seed, rapidcheck's reproduce string and the smallest case it found).
# SOAK_HEAVY=1 adds the damage between runs; SOAK_DAMAGE=lose-staged,... some of it;
# SOAK_HOSTILE=1 other users' objects in the updater's places; SOAK_POWER_CUTS=ext4,fat a power
# cut after the first and the last start, SOAK_POWER_CUT_STATES of its states tried (0: all).
SOAK_SECONDS ?= 600
SOAK_ROUND_CASES ?= 2000
SOAK_HEAVY ?= 0
SOAK_DAMAGE ?=
SOAK_HOSTILE ?= 0
SOAK_POWER_CUTS ?=
SOAK_POWER_CUT_STATES ?= 0
soak:
	$(CMAKE) --preset native >/dev/null
	$(CMAKE) --build --preset native -j $(JOBS) --target updater-simulation
	@end=$$(( $$(date +%s) + $(SOAK_SECONDS) )); round=0; \
	while [ $$(date +%s) -lt $$end ]; do \
	  round=$$((round + 1)); seed=$$(od -An -N4 -tu4 /dev/urandom | tr -d ' '); \
	  echo "soak round $$round: RC_PARAMS=\"seed=$$seed max_success=$(SOAK_ROUND_CASES)\""; \
	  RC_PARAMS="seed=$$seed max_success=$(SOAK_ROUND_CASES)" SIMULATION_HEAVY=$(SOAK_HEAVY) \
	    SIMULATION_DAMAGE=$(SOAK_DAMAGE) SIMULATION_HOSTILE=$(SOAK_HOSTILE) \
	    SIMULATION_POWER_CUTS=$(SOAK_POWER_CUTS) SIMULATION_POWER_CUT_STATES=$(SOAK_POWER_CUT_STATES) \
	    build/native/tests/updater/updater-simulation || exit 1; \
	done
	@if [ "$(SOAK_SERVICE)" = 1 ]; then $(MAKE) --no-print-directory soak-service; fi

# The update service's search over many cycles (tests/service/update/search) for SOAK_SECONDS,
# under wine64 with the x86_64 twin: drawn cases with a fresh seed until the time is up or a case
# fails (it prints the seed and the shrunk case, and leaves it in build/win64/search-failed.case).
# `make soak SOAK_SERVICE=1` runs it after the desktop updater's simulation.
SOAK_SERVICE ?= 0
soak-service: prefix
	$(CMAKE) --preset win64 >/dev/null
	$(CMAKE) --build --preset win64 -j $(JOBS) --target test_update_search
	ctest --preset win64 -R service_update_search_packages >/dev/null
	seed=$$(od -An -N4 -tu4 /dev/urandom | tr -d ' '); echo "soak-service: VEXTRA_SEARCH_SEED=$$seed"; \
	  VEXTRA_SEARCH_SEED=$$seed VEXTRA_SEARCH_SECONDS=$(SOAK_SECONDS) tests/harness/wine-run \
	    build/win64/tests/service/test_update_search.exe --gtest_filter=CycleSearch.DrawnCasesHold

# End-to-end tests run in a private network namespace: loopback only, ports 443 and 80 free.
# E2E_ARCH=win64 runs them with the x86_64 twin instead of the shipped i686 program.
E2E_ARCH ?= win32
test-e2e:
	VEXTRA_E2E_ARCH=$(E2E_ARCH) tests/harness/in-netns $(PYTEST) -q -p no:cacheprovider tests/e2e

# The build's own output goes to build/demo-build.log, so the demo's account stays readable.
# Of the service it builds the one program the demo runs: the shipped i686 one where this machine
# runs 32-bit programs, else the x86_64 twin (or the one VEXTRA_E2E_ARCH names). Of the desktop
# updater: the native program with its stand-in application and the screen grabber of
# tests/updater/, and the Windows program and its stand-in where a Windows build runs here and its
# toolchain is cached (recorded by tools/build-mingw-qt --needed --cached-only, which never builds).
demo: deps-packages
	@mkdir -p build
	@echo "building (log: build/demo-build.log) ..."
	@arch=$${VEXTRA_E2E_ARCH:-$$(tools/probe-i386 >/dev/null 2>&1 && echo win32 || echo win64)}; \
	( $(MAKE) --no-print-directory build-$$arch build-native prefix && \
	  tools/build-mingw-qt --needed --cached-only && \
	  for preset in $$(tools/desktop-targets --test); do \
	    $(CMAKE) --preset $$preset >/dev/null && \
	    $(CMAKE) --build --preset $$preset -j $(JOBS) --target desktop-updater fake-domvista || exit 1; \
	  done ) >build/demo-build.log 2>&1 || \
	  { tail -40 build/demo-build.log; echo "demo: the step \"building\" failed (log: build/demo-build.log)"; exit 1; }
	@tools/demo

# PNGs of the desktop updater's dialog drawn on a virtual X screen: in the middle of an update,
# and the notice that stays up after an update that skipped entries; the native program, and
# the Windows one under Wine (its windows platform on the same kind of screen).
screenshot: build-native build-desktop-windows prefix
	@mkdir -p build/screenshots
	xvfb-run -a -s "-screen 0 800x600x24" build/native/tests/updater/updater-screenshot \
	  build/screenshots/desktop-updater.png >build/screenshots/desktop-updater.log 2>&1
	xvfb-run -a -s "-screen 0 800x600x24" build/native/tests/updater/updater-screenshot \
	  build/screenshots/desktop-updater-refused.png --refused >>build/screenshots/desktop-updater.log 2>&1
	@preset=$$(tools/desktop-targets --test | head -1); [ -n "$$preset" ] || { echo "screenshot: no Windows desktop build runs here"; exit 1; }; \
	xvfb-run -a -s "-screen 0 800x600x24" tests/harness/wine-run build/$$preset/tests/updater/updater-screenshot.exe \
	  "Z:$(subst /,\\,$(abspath build/screenshots))\\desktop-updater-$${preset%-desktop}.png" >>build/screenshots/desktop-updater.log 2>&1 && \
	echo "saved build/screenshots/desktop-updater.png, desktop-updater-refused.png and desktop-updater-$${preset%-desktop}.png"

# A release: the programs with the release CA built in, configured afresh, each signed when a
# code-signing pair is given, and their SHA-256, in dist/ (tools/release holds the program list).
# `make release CA=release-ca.der [VERSION=a.b.c.d] [SIGN_CERT=cert.pem SIGN_KEY=key.pem [SIGN_CA=roots.pem]]`
# `make release-check CA=release-ca.der` builds every program twice, in two folders, without the
# compiler cache, and fails unless the bytes agree and no build path is inside.
RELEASE_ARGS = --ca "$(CA)" $(if $(VERSION),--version $(VERSION)) --jobs $(JOBS) \
  $(if $(SIGN_CERT),--sign-cert "$(SIGN_CERT)") $(if $(SIGN_KEY),--sign-key "$(SIGN_KEY)") \
  $(if $(SIGN_CA),--sign-ca "$(SIGN_CA)")
release release-check:
	@if [ -z "$(CA)" ]; then echo "make $@: name the release CA certificate: make $@ CA=<file.der>" >&2; exit 2; fi
	@$(if $(filter release-check,$@),CCACHE_DISABLE=1 tools/release --check,tools/release) $(RELEASE_ARGS)

clean:
	rm -rf build dist
