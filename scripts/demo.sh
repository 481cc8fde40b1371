#!/usr/bin/env bash
# Builds the plug-in and the operator program, then reads the virtual meter
# through the plug-in's exported API: its identification, its modules, the
# current values, the archive counters and the newest hourly T values, and
# finally a dump of module 1 as one JSON document.
set -euo pipefail
cd "$(dirname "$0")/.."
Q31_SKIP_WINDOWS=1 bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target q31 q31-sim publicQ31
./build/q31 id
./build/q31 modules
./build/q31 current
./build/q31 counters
./build/q31 series t_hour 1 1990
./build/q31 --format json id
./build/q31 --format json dump --modules 1 > build/dump.json
echo "dump of module 1: build/dump.json ($(wc -c < build/dump.json) bytes); its beginning:"
head -c 600 build/dump.json
echo
