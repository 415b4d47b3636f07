#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what is missing, builds
# the normal and the sanitizer configurations, runs every test (the VM tests
# included), the unit tests under address+undefined sanitizers, the
# concurrency tests under the thread sanitizer and the fuzz targets for a
# bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

# A compiler cache, where the machine has one, makes rebuilds cheap.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S . -B build -G Ninja -DQP_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build
cmake -S . -B build-asan -G Ninja -DQP_WERROR=ON -DQP_SANITIZE=ON -DQP_VM_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-asan

cmake -S . -B build-tsan -G Ninja -DQP_WERROR=ON -DQP_TSAN=ON -DQP_VM_TESTS=OFF "${launcher[@]}" >/dev/null
# Only the programs of the tests that run under the thread sanitizer: the
# test_<name> program of each, or the test_* program its command names (a
# wrapper script's argument), whichever the build has.
tsan_programs=$( (ctest --test-dir build-tsan -L tsan --show-only=json-v1; echo; ninja -C build-tsan -t targets all) | python3 -c '
import json, os, sys
text = sys.stdin.read()
tests, end = json.JSONDecoder().raw_decode(text)
targets = {line.split(":")[0] for line in text[end:].splitlines() if ":" in line}
wanted = set()
for test in tests["tests"]:
    wanted.add("test_" + test["name"])
    wanted.update(os.path.basename(arg) for arg in test.get("command", []))
print(" ".join(sorted(name for name in wanted if name.startswith("test_") and name in targets)))')
cmake --build build-tsan --target $tsan_programs
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DQP_FUZZ=ON -DQP_VM_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build build-fuzz --target fuzzers

ctest --test-dir build-asan -L unit --output-on-failure
ctest --test-dir build-tsan -L tsan --output-on-failure
ctest --test-dir build-fuzz -L fuzz --output-on-failure
ctest --test-dir build --output-on-failure
