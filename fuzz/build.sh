#!/usr/bin/env bash
# Builds every fuzz target with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) into build/fuzz, apart from the GCC builds.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX="${FUZZ_CXX:-clang++}"
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER="$CXX" >/dev/null
cmake --build build/fuzz -j"${FUZZ_JOBS:-2}"
