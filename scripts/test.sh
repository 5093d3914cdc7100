#!/usr/bin/env bash
# Sets up the machine, builds the project and runs every test.
#   scripts/test.sh            normal build
#   scripts/test.sh asan       address + undefined-behaviour sanitizers
#   scripts/test.sh tsan       thread sanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

./scripts/install-deps.sh
# Every C++ file as clang-format writes it (scripts/check-format.sh --fix formats them).
./scripts/check-format.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
# Tests never touch the real home folder: each test process gets its own (see
# cmake/BhvTesting.cmake); this covers anything started outside CTest too.
export HOME="$PWD/build/$preset/test-home"
mkdir -p "$HOME"
ctest --preset "$preset"
