#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, end-to-end tests over a
# pseudo-terminal against the virtual meter, and the Windows DLL under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2 -LE soak
