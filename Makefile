# Front door for administrators and CI; the build itself is CMake.
BUILD ?= build
BUILD_ASAN ?= build-asan
BUILD_CLANG ?= build-clang
JOBS ?= $(shell nproc)
CONFIG ?= examples/agent.cfg
# WERROR=ON makes every compiler warning an error (CI builds that way), OFF
# turns that off again; unset, the build directory keeps what it has.
WERROR ?=

# The build's own progress lines are enough; make's "Entering directory"
# lines, printed by the make that CMake runs below this one, are not.
MAKEFLAGS += --no-print-directory

.PHONY: all deps build-deps configure build run check check-asan check-clang fuzz soak clean

all: build

deps:
	@scripts/ensure-deps.sh

# The build tools alone, without the test suite's packages.
build-deps:
	@scripts/ensure-deps.sh build

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(WERROR),-DAGENT_WERROR=$(WERROR)) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Runs the agent in the foreground on the bundled example configuration.
# It needs the build tools only: the test suite's packages are not installed
# for it, and only the agent is built (with GoogleTest absent the build
# directory is configured without the tests).
# The agent leads a process group of its own, so Ctrl-C at the terminal
# reaches only this recipe's shell: it passes the interrupt on and waits
# for the agent to stop.
run: build-deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(WERROR),-DAGENT_WERROR=$(WERROR)) >/dev/null
	@cmake --build $(BUILD) --target agent -j $(JOBS)
	@echo "$(BUILD)/agent/agent -c $(CONFIG)"
	@$(BUILD)/agent/agent -c $(CONFIG) & pid=$$!; \
	  trap 'kill -INT $$pid 2>/dev/null' INT TERM; \
	  wait $$pid; status=$$?; \
	  while kill -0 $$pid 2>/dev/null; do wait $$pid; status=$$?; done; \
	  exit $$status

# Builds everything and runs every test.
check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer (tests/lsan.supp names the few test fixtures that drop
# records on purpose); the agent the integration tests start is built the
# same way.
check-asan: deps
	@cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DAGENT_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD_ASAN) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

# The whole tree, tests included, built with clang and warnings as errors:
# only its warnings are wanted, and clang gives them without optimising, so
# the build type None (no optimisation, no debug information) keeps it quick.
check-clang:
	@scripts/ensure-deps.sh clang
	@cmake -S . -B $(BUILD_CLANG) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=None -DAGENT_WERROR=ON >/dev/null
	@cmake --build $(BUILD_CLANG) -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS (default 60) each, built with clang in
# build-fuzz (scripts/run-fuzzers.sh); a crash or sanitizer report fails.
fuzz:
	@scripts/run-fuzzers.sh

# The full soak: SOAK_SESSIONS sessions (default 1000) one after another
# against the real agent, each attaching, listing and reading a file; the
# listener must end with the descriptors and memory it had after the first
# ten, and no zombie. `make check` runs the same test with 100 sessions.
SOAK_SESSIONS ?= 1000
soak: build
	@SOAK_SESSIONS=$(SOAK_SESSIONS) $(BUILD)/tests/integration_tests --gtest_filter='Soak.*'

# Benchmark against a raw loopback ping-pong and tar: builds the agent,
# grfsclient (for the round trips of whole trees) and the benchmark programs
# (Release with debug information) and prints the table.
# BENCH_DIR: scratch directory (default /tmp/grfs-bench); BENCH_ARGS: e.g.
# "--runs 7 --json out.json" (see build/bench/grfs_bench --help).
.PHONY: bench
bench: configure
	@cmake --build $(BUILD) --target agent grfsclient grfs_bench bench_pingpong -j $(JOBS)
	@$(BUILD)/bench/grfs_bench $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_CLANG)
