# Front door of the build: every target installs what it needs first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
DEPS        = scripts/install-deps.sh

.PHONY: all build test test-asan demo bench fuzz clean deps

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

# Release build of the library and bench/ in its own folder; results in $(BUILD)/bench/.
bench: deps
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTONET_BENCH=ON \
		-DVELTONET_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) --target velto-bench
	@python3 bench/run_bench.py --bin build-bench/bin --out $(BUILD)/bench

fuzz:
	@echo "make fuzz: fuzz targets are not written yet; they will run each libFuzzer target for a set time."

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
