#!/usr/bin/env bash
# The main job: installs what is missing, builds everything and runs the
# demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
