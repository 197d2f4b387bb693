# Entry points: make (native build), make test, make demo, make windows, make bench,
# make soak, make lint, make package, make docs, make fuzz.
SHELL := /bin/bash
JOBS  ?= $(shell nproc)
# Seconds each fuzz target runs in make fuzz; make test runs them for 15.
FUZZ_SECONDS ?= 60

.PHONY: all native asan tsan tsan-concurrency windows win64 win32 test test-native test-asan test-tsan demo bench soak lint package docs setup clean fuzz fuzz-build

all: native

setup:
	@scripts/setup-deps.sh

# $(1): the preset and tree; $(2): what to build (default: everything).
define configure_and_build
	@[ -f build/$(1)/build.ninja ] || cmake --preset $(1) >/dev/null
	cmake --build build/$(1) -j $(JOBS) $(2)
endef

native:
	$(call configure_and_build,native,)

asan:
	$(call configure_and_build,asan,)

tsan:
	$(call configure_and_build,tsan,)

# Only the concurrency tests and what they link: all that make test runs
# under ThreadSanitizer.
tsan-concurrency:
	$(call configure_and_build,tsan,--target concurrency-tests)

win64:
	$(call configure_and_build,win64,)

win32:
	$(call configure_and_build,win32,)

windows: win64 win32

# Everything CI runs: installs, the Windows cross builds (checked under Wine by
# the native suite), static analysis, the native suite, the suite under
# ASan+UBSan, the concurrency tests under TSan and a short run of every fuzz
# target on the committed corpus. The suites run beside the later builds
# (scripts/test.sh); logs in build/test-logs.
test: setup
	@JOBS=$(JOBS) FUZZ_SECONDS=15 scripts/test.sh

# The fuzz targets (clang, libFuzzer, ASan+UBSan) in build/fuzz; only they
# and the code they link are built.
fuzz-build:
	@[ -f build/fuzz/build.ninja ] || cmake --preset fuzz >/dev/null
	cmake --build build/fuzz --target fuzz-targets -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS; findings in build/fuzz/fuzz-artifacts.
fuzz: setup fuzz-build
	scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

# The demo builds quietly: a person wants to see the tools, not the compiler.
demo: setup
	@echo "Building (log in build/demo-build.log)..."
	@mkdir -p build
	@$(MAKE) --no-print-directory native > build/demo-build.log 2>&1 || { cat build/demo-build.log; exit 1; }
	@scripts/demo.sh

bench: setup native
	@scripts/bench.sh

# Long fault runs (about ten minutes); make test runs a short one (ctest soak.short).
soak: setup native
	@scripts/soak.sh

# clang-tidy and cppcheck over our sources; needs a configured native tree only.
lint: setup
	@[ -f build/native/build.ninja ] || cmake --preset native >/dev/null
	@scripts/lint.sh build/native

# Debian packages of the native tree and the two Windows zips, in
# build/packages; lintian must find nothing in the Debian packages.
package: setup windows native
	@rm -rf build/packages && mkdir -p build/packages
	cd build/packages && cpack --config ../native/CPackConfig.cmake -B . >/dev/null
	cd build/packages && cpack --config ../win64/CPackConfig.cmake -B . >/dev/null
	cd build/packages && cpack --config ../win32/CPackConfig.cmake -B . >/dev/null
	@rm -rf build/packages/_CPack_Packages
	scripts/build-wheel.sh build/packages
	@scripts/lintian.sh build/packages
	@ls -1 build/packages

# The API reference, from the public header: build/docs/html/index.html.
docs: setup
	@scripts/docs.sh build/docs

clean:
	rm -rf build
