#!/usr/bin/env bash
# Configures and builds the Linux side: the emulated platform, the driver
# against it, the simulator, the tests and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "$@" >/dev/null
cmake --build "$build_dir"
