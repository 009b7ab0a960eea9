#!/usr/bin/env bash
# Builds the whole tree with clang (warnings as errors, as with g++) and runs the tests there.
set -euo pipefail
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-clang -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKOJELLY_WERROR=ON >/dev/null
cmake --build build-clang -j "$(nproc)"
cd build-clang && ctest --output-on-failure -j "$(nproc)"
