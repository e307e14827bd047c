# Front door of the build: every target installs what it needs first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
DEPS        = scripts/install-deps.sh

.PHONY: all build test test-asan demo bench fuzz clean deps windows test-windows demo-windows

all: build

deps:
	@bash $(DEPS)

$(BUILD)/build.ninja: | deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja: | deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTONET_SANITIZE=ON >/dev/null

test-asan: deps $(ASAN_BUILD)/build.ninja
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

demo: build
	@$(BUILD)/bin/velto demo --seconds 10

# Windows with MinGW-w64: x64 in build-win/ (the DLLs, import libraries and test programs),
# x86 in build-win32/ (the DLLs and import libraries: built and checked, never run here).
WIN_BUILD   ?= build-win
WIN32_BUILD ?= build-win32

$(WIN_BUILD)/build.ninja: | deps
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null

$(WIN32_BUILD)/build.ninja: | deps
	@cmake -S . -B $(WIN32_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTONET_TESTS=OFF \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake >/dev/null

windows: deps $(WIN_BUILD)/build.ninja $(WIN32_BUILD)/build.ninja
	@cmake --build $(WIN_BUILD) -j $(JOBS)
	@cmake --build $(WIN32_BUILD) -j $(JOBS)
	@bash scripts/check-windows-binaries.sh $(WIN_BUILD) $(WIN32_BUILD)

# Every library test program under wine64, headless; a wine prefix and server of its own.
test-windows: windows
	@bash scripts/run-windows-tests.sh $(WIN_BUILD)

# velto.exe's self-checking demo under wine64, on veltonet.dll and Codec.dll beside it.
demo-windows: windows
	@bash scripts/run-windows-tests.sh $(WIN_BUILD) --run velto.exe demo --seconds 5

# Release build of the library and bench/ in its own folder; results in $(BUILD)/bench/.
bench: deps
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTONET_BENCH=ON \
		-DVELTONET_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) --target velto-bench
	@python3 bench/run_bench.py --bin build-bench/bin --out $(BUILD)/bench

# libFuzzer targets (clang, AddressSanitizer and UndefinedBehaviorSanitizer) in their own build,
# each run for FUZZ_SECONDS over its seeds in fuzz/corpus/; finds stay in $(FUZZ_BUILD).
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTONET_FUZZ=ON \
		-DVELTONET_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Line coverage of veltonet/ per folder that replaying the fuzz corpora reaches (clang's
# source-based coverage, in its own build folder).
COVERAGE_BUILD ?= build-coverage
.PHONY: fuzz-coverage
fuzz-coverage: deps
	@JOBS=$(JOBS) bash scripts/fuzz-coverage.sh $(COVERAGE_BUILD)

# Fan-out, a repaired feed and server restarts for SOAK_SECONDS; fails on any lost or repeated
# message and on memory or descriptors that grow after the warm-up.
.PHONY: soak test-valgrind
SOAK_SECONDS ?= 600
soak: deps $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS) --target veltonet-soak
	@$(BUILD)/bin/veltonet-soak $(SOAK_SECONDS)

# Every test program and the fuzz corpora under valgrind's memcheck (the build without
# sanitizers).
test-valgrind: build
	@bash tests/reliability/valgrind.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(COVERAGE_BUILD) build-bench $(WIN_BUILD) $(WIN32_BUILD)
