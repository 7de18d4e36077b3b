#!/usr/bin/env bash
# The whole test suite: install what is missing, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
scripts/fuzz.sh replay  # the fuzz targets: each seed corpus replayed, then each target run briefly
windows/build.sh --check  # the Windows image: cross build, image and INF checks, their self-test
