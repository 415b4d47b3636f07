#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what is missing, builds
# the normal and the sanitizer configurations, runs every test (the VM tests
# included) and the sanitizer run of the unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

cmake -S . -B build -G Ninja -DQP_WERROR=ON >/dev/null
cmake --build build
cmake -S . -B build-asan -G Ninja -DQP_WERROR=ON -DQP_SANITIZE=ON -DQP_VM_TESTS=OFF >/dev/null
cmake --build build-asan

ctest --test-dir build-asan -L unit --output-on-failure
ctest --test-dir build --output-on-failure
