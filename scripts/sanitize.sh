#!/usr/bin/env bash
# Builds the whole test suite under a sanitizer, in a build directory of its
# own, and runs it; the first report fails the run.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer
#                              (build-asan/), no recovery, leaks checked
#   scripts/sanitize.sh tsan   ThreadSanitizer (build-tsan/), every test run
#                              three times since races show up by chance
#
# Extra arguments go to ctest (e.g. -R SyncRoot).  BUILD_DIR overrides the
# build directory.  Each test runs in a process of its own, as in the plain
# suite, so a stop in one cannot take the others with it.
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-}
shift || true
case "$kind" in
  asan)
    export BUILD_DIR=${BUILD_DIR:-build-asan}
    options=(-DZENTAFLT_SANITIZE=ON -DZENTAFLT_TSAN=OFF)
    repeat=1
    export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  tsan)
    export BUILD_DIR=${BUILD_DIR:-build-tsan}
    options=(-DZENTAFLT_SANITIZE=OFF -DZENTAFLT_TSAN=ON)
    repeat=3
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *)
    echo "usage: scripts/sanitize.sh asan|tsan [ctest arguments]" >&2
    exit 2
    ;;
esac

# The benchmarks measure speed, which a sanitizer build does not have.
scripts/build.sh "${options[@]}" -DZENTAFLT_BENCHMARKS=OFF
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" --repeat until-fail:"$repeat" "$@"
