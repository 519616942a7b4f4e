#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build-fuzz and runs each
# for a bounded time, starting from the seed corpus in fuzz/corpus/. Any
# crash, sanitizer report, leak, time-out or failed check fails the run; the
# input that caused it is left in build-fuzz/fuzz-artifacts/.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   targets to run (default "decode_request session")
#   FUZZ_BUILD     build directory (default build-fuzz)
#
# Replay one input:  build-fuzz/fuzz/fuzz_<target> <file>
# The session target runs as root inside a private mount namespace in which
# every file system but its own scratch tmpfs, the corpus and the artifact
# directory is read-only (fuzz/fuzz_sandbox.h).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh fuzz

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"decode_request session"}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAGENT_FUZZ=ON -DAGENT_BUILD_TESTS=OFF >/dev/null
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}"

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for t in $targets; do
  work="$build/fuzz-work/$t"
  log="$build/fuzz-$t.log"
  mkdir -p "$work"
  echo "fuzz_$t: running for ${seconds}s"
  start=$(date +%s)
  # -close_fd_mask=2: the agent's own traces and console messages are
  # dropped; the fuzzer's and the sanitizers' reports are not.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -close_fd_mask=2 \
      -artifact_prefix="$artifacts/$t-" -print_final_stats=1 "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$t: clean, ${runs:-?} inputs in $(( $(date +%s) - start ))s"
  else
    status=1
    echo "fuzz_$t: FAILED; the end of its log ($log):"
    grep -v '^#' "$log" | tail -60
    echo "fuzz_$t: the input is in $artifacts/"
  fi
done
exit $status
