#!/usr/bin/env bash
# Builds the plug-in and the operator tool, then reads the virtual meter
# through the plug-in's exported API: its identification, its modules, the
# current values, the archive counters and the newest hourly T values.
set -euo pipefail
cd "$(dirname "$0")/.."
Q31_SKIP_WINDOWS=1 bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target q31-read publicQ31
./build/q31-read id
./build/q31-read modules
./build/q31-read current
./build/q31-read counters
./build/q31-read series t_hour 1 1990
