# Front door for administrators and CI; the build itself is CMake.
BUILD ?= build
BUILD_ASAN ?= build-asan
JOBS ?= $(shell nproc)
CONFIG ?= examples/agent.cfg

.PHONY: all deps configure build run check check-asan clean

all: build

deps:
	@scripts/ensure-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Runs the agent in the foreground on the bundled example configuration.
run: build
	$(BUILD)/agent/agent -c $(CONFIG)

# Builds everything and runs every test.
check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
check-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DAGENT_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# Benchmark against a raw loopback ping-pong: builds the agent and the
# benchmark programs (Release with debug information) and prints the table.
# BENCH_DIR: scratch directory (default /tmp/grfs-bench); BENCH_ARGS: e.g.
# "--runs 7 --json out.json" (see build/bench/grfs_bench --help).
.PHONY: bench
bench: configure
	@cmake --build $(BUILD) --target agent grfs_bench bench_pingpong -j $(JOBS)
	@$(BUILD)/bench/grfs_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
