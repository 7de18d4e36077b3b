#!/usr/bin/env bash
# The libFuzzer targets in fuzz/: built with ASan + UBSan (recovery off)
# into build-fuzz/.
#
#   scripts/fuzz.sh build            builds them
#   scripts/fuzz.sh replay [seconds] replays each committed corpus, then runs
#                                    each target briefly (default 20 s) from
#                                    it; any crash or failed check fails
#   scripts/fuzz.sh long [seconds]   runs each target in turn for long
#                                    (default 600 s) from its corpus into
#                                    build-fuzz/corpus/<target>/, prints its
#                                    executions, then the line coverage of
#                                    the driver's files that the corpus
#                                    reaches (a coverage build,
#                                    build-fuzz-cov/)
#
# Targets run one at a time, with nice.  Crash inputs land in
# build-fuzz/artifacts/<target>/; minimise one with
#   build-fuzz/fuzz/<target> -minimize_crash=1 -runs=10000 <crash file>
# and, once fixed, add it to fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-replay}
targets=(port_command_fuzz connection_context_fuzz question_reply_fuzz reparse_data_fuzz
  placeholder_control_fuzz hydration_command_fuzz)
driver_dirs=(core channel placeholder hydration intercept)

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DZENTAFLT_TESTS=OFF -DZENTAFLT_BENCHMARKS=OFF -DZENTAFLT_FUZZ=ON "$@" >/dev/null
  nice -n 10 cmake --build "$dir" -j 2 -- "${targets[@]}"
}

# Per-input leak checks are off: the emulation keeps growing records (port
# connections, the USN journal) that would start one on every input.  The
# verifier's accounting catches what the filter leaks after each input, and
# LeakSanitizer checks the whole process when a run ends, after the target
# has unloaded the filter.
fuzz_flags=(-detect_leaks=0 -rss_limit_mb=3072 -timeout=60 -print_final_stats=1)

# Runs a target into a log; any failure (a crash, a failed check, a leak
# found when the run ends) shows the log's end and fails.
run_logged() {
  local target=$1
  shift
  mkdir -p "build-fuzz/artifacts/$target"
  if ! nice -n 15 "build-fuzz/fuzz/$target" "${fuzz_flags[@]}" -artifact_prefix="build-fuzz/artifacts/$target/" \
    "$@" >"build-fuzz/$target.log" 2>&1; then
    tail -60 "build-fuzz/$target.log" >&2
    echo "$target: failed; log in build-fuzz/$target.log, inputs in build-fuzz/artifacts/$target/" >&2
    return 1
  fi
  grep -E '^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|Done)' \
    "build-fuzz/$target.log" || true
}

case "$mode" in
build)
  configure_and_build build-fuzz
  ;;
replay)
  seconds=${2:-20}
  configure_and_build build-fuzz
  for target in "${targets[@]}"; do
    echo "== $target: corpus replay"
    rm -rf "build-fuzz/artifacts/$target" "build-fuzz/replay/$target"
    run_logged "$target" -runs=0 "fuzz/corpus/$target"
    echo "== $target: ${seconds} s"
    mkdir -p "build-fuzz/replay/$target"
    run_logged "$target" -max_total_time="$seconds" "build-fuzz/replay/$target" "fuzz/corpus/$target"
  done
  ;;
long)
  seconds=${2:-600}
  configure_and_build build-fuzz
  for target in "${targets[@]}"; do
    echo "== $target: ${seconds} s"
    rm -rf "build-fuzz/artifacts/$target"
    mkdir -p "build-fuzz/corpus/$target"
    run_logged "$target" -max_total_time="$seconds" "build-fuzz/corpus/$target" "fuzz/corpus/$target"
  done
  # Coverage of the driver's files reached by each corpus, and by all of
  # them together.
  configure_and_build build-fuzz-cov -DZENTAFLT_FUZZ_COVERAGE=ON
  sources=()
  for dir in "${driver_dirs[@]}"; do
    sources+=("$dir"/*.cpp)
  done
  report() {
    llvm-cov report "$@" "${sources[@]}" | sed -e 's/^[[:space:]]*//' | grep -E '^(TOTAL|[a-z]+/)' |
      awk '{ printf "  %-32s lines %4d of %4d (%s)\n", $1, $8 - $9, $8, $10 }'
  }
  objects=()
  for target in "${targets[@]}"; do
    echo "== $target: coverage of the driver's files"
    rm -f "build-fuzz-cov/$target".prof*
    LLVM_PROFILE_FILE="build-fuzz-cov/$target.profraw" nice -n 15 "build-fuzz-cov/fuzz/$target" -runs=0 \
      "build-fuzz/corpus/$target" "fuzz/corpus/$target" >/dev/null 2>&1
    llvm-profdata merge -sparse "build-fuzz-cov/$target.profraw" -o "build-fuzz-cov/$target.profdata"
    report "build-fuzz-cov/fuzz/$target" -instr-profile="build-fuzz-cov/$target.profdata"
    if [ "${#objects[@]}" -eq 0 ]; then
      objects+=("build-fuzz-cov/fuzz/$target")
    else
      objects+=(-object "build-fuzz-cov/fuzz/$target")
    fi
  done
  echo "== all targets: coverage of the driver's files"
  llvm-profdata merge -sparse build-fuzz-cov/*.profraw -o build-fuzz-cov/all.profdata
  report "${objects[@]}" -instr-profile=build-fuzz-cov/all.profdata
  ;;
*)
  echo "usage: $0 build | replay [seconds] | long [seconds]" >&2
  exit 2
  ;;
esac
