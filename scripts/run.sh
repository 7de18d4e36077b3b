#!/usr/bin/env bash
# The main job: install what is missing, build, and run zentaflt-sim: the
# emulated system, the filter and the reference service with programs
# against it (options: --source DIR, --trace/--verbose, --json FILE, --small).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build/zentaflt-sim "$@"
