#!/usr/bin/env bash
# Builds the project and runs every test. Usage: scripts/test.sh [debug|asan-ubsan|tsan]
# (the test presets; "tsan" builds and runs the library's tests only; "release" builds the library
# and programs only and has no tests)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
scripts/deps.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
