# The two commands for users: `make demo` and `make test`. Each installs what is
# missing first (Debian packages; needs root or sudo), then builds what it needs.
SHELL := /bin/bash
ROOT := $(CURDIR)
BUILD := $(ROOT)/build
DIST := $(ROOT)/dist/win32
export WINEPREFIX := $(BUILD)/win32/wineprefix
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=
JOBS ?= $(shell nproc)

.PHONY: all deps dist demo test test-unit test-wine test-jvm test-fuzz fuzz-long reliability wineprefix clean

all: dist

deps:
	@$(ROOT)/tools/install-deps.sh

$(BUILD)/%/build.ninja: | deps
	@cmake -S $(ROOT) -B $(BUILD)/$* -G Ninja $(CMAKE_ARGS_$*) >/dev/null

CMAKE_ARGS_win32 := -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
CMAKE_ARGS_host32 := -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/host32.cmake -DCMAKE_BUILD_TYPE=Debug
CMAKE_ARGS_jvm := -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/host32.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRW_JVM=ON

# The product: the three DLLs, the public headers and the import libraries.
dist: $(BUILD)/win32/build.ninja
	@ninja -C $(BUILD)/win32 -j$(JOBS) dist >/dev/null

wineprefix: | deps
	@test -f $(WINEPREFIX)/system.reg || (wineboot -i >/dev/null 2>&1; wineserver -w)

demo: dist wineprefix
	@ninja -C $(BUILD)/win32 -j$(JOBS) demo >/dev/null
	@cd $(BUILD)/win32/bin && wine demo.exe

test: test-unit test-wine test-jvm test-fuzz
	@echo "tiers: 4 passed, 0 failed"

test-unit: $(BUILD)/host32/build.ninja
	@ninja -C $(BUILD)/host32 -j$(JOBS) >/dev/null
	@cd $(BUILD)/host32 && ctest --output-on-failure -j$(JOBS)

test-wine: $(BUILD)/win32/build.ninja wineprefix
	@ninja -C $(BUILD)/win32 -j$(JOBS) >/dev/null
	@cd $(BUILD)/win32 && ctest --output-on-failure

test-jvm: $(BUILD)/jvm/build.ninja
	@ninja -C $(BUILD)/jvm -j$(JOBS) >/dev/null
	@$(ROOT)/tests/jvm/run.sh $(BUILD)/jvm

test-fuzz: | deps
	@$(ROOT)/tests/fuzz/run.sh $(BUILD)/fuzz 45

# Not part of `make test`: each parser of untrusted bytes fuzzed on its own for
# FUZZ_SECONDS (from the committed seeds), then the coverage its corpus reaches.
FUZZ_SECONDS ?= 600
fuzz-long: | deps
	@$(ROOT)/tests/fuzz/long.sh $(BUILD)/fuzz-long $(FUZZ_SECONDS)

# Not part of `make test` (which runs the same programs at a short size): the
# reliability runs at full size, minutes: under Wine against the shipped DLLs
# the leak loops, the tree-kill soak and the concurrency run (each prints its
# figures as "[reliability] ..." lines), then the host32 concurrency run.
reliability: $(BUILD)/win32/build.ninja $(BUILD)/host32/build.ninja wineprefix
	@ninja -C $(BUILD)/win32 -j$(JOBS) >/dev/null
	@ninja -C $(BUILD)/host32 -j$(JOBS) >/dev/null
	@status=0; cd $(BUILD)/win32/bin && for run in leak soak concurrency; do \
	    RW_RELIABILITY=full wine wine_runwarden_$${run}_test.exe --gtest_brief=1 || status=1; \
	done; cd $(BUILD)/host32 && RW_RELIABILITY=full ctest -R reliability --output-on-failure || status=1; \
	exit $$status

clean:
	rm -rf $(BUILD) $(ROOT)/dist
