#!/usr/bin/env bash
# Builds the whole test suite under a sanitizer, in a build directory of its
# own, and runs it; the first report fails the run.
#
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer
#                              (build-asan/), no recovery, leaks checked
#   scripts/sanitize.sh tsan   ThreadSanitizer (build-tsan/), the suite run
#                              five times since races show up by chance
#
# The suite runs in one process (a sanitizer's start-up costs more than most
# tests; each test still gets a fresh emulated system from its fixture), so a
# test also runs after whatever the ones before it left running.  Extra
# arguments go to the test program (e.g. --gtest_filter='ServiceTest.*').
# BUILD_DIR overrides the build directory.
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
    repeat=5
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    ;;
  *)
    echo "usage: scripts/sanitize.sh asan|tsan [ctest arguments]" >&2
    exit 2
    ;;
esac

# The benchmarks measure speed, which a sanitizer build does not have.
scripts/build.sh "${options[@]}" -DZENTAFLT_BENCHMARKS=OFF
# The driver's suite and the emulated platform's own; a hang fails the run
# instead of holding CI.
for suite in tests/zentaflt_tests tests/emu/zentaflt_emu_tests; do
  timeout 600 "$BUILD_DIR/$suite" --gtest_repeat="$repeat" --gtest_brief=1 "$@"
done
