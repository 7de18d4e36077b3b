#!/usr/bin/env bash
# The whole test suite: install what is missing, build, run every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
scripts/sanitize.sh asan  # the suite again under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
scripts/sanitize.sh tsan  # and five times under ThreadSanitizer (build-tsan/)
scripts/fuzz.sh replay  # the fuzz targets: each seed corpus replayed, then each target run briefly
windows/build.sh --check --require-open-reparse  # the Windows image: cross build, image and INF checks (the open-reparse imports required), their self-test
