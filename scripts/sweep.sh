#!/usr/bin/env bash
# The fault-injection sweep: every scenario with each injectable call the
# driver makes failed in turn (each documented status, then every call from
# there on), each run in a child process of its own.
#
#   scripts/sweep.sh            the short sweep (the one the test run has)
#   scripts/sweep.sh --full     every injection point and status
#   scripts/sweep.sh --full --points   also list each point's routine and call site
#
# Other arguments go to build/tests/sweep/zentaflt_sweep (--scenario NAME,
# --cap N, --stride K, --timeout SECONDS, --list).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
mode=--short
args=()
for arg in "$@"; do
  case "$arg" in
    --full) mode=--full ;;
    --short) mode=--short ;;
    *) args+=("$arg") ;;
  esac
done
scripts/build.sh >/dev/null
exec "$build_dir/tests/sweep/zentaflt_sweep" "$mode" "${args[@]}"
