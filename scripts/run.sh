#!/usr/bin/env bash
# The main job: install what is missing, build, and run the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build/zentaflt-sim "$@"
