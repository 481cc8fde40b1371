#!/usr/bin/env bash
# Builds the fuzz targets for libFuzzer (clang, -DQ31_LIBFUZZER=ON) in
# build-fuzz/ (or Q31_FUZZ_BUILD) and runs the session fuzzer for a bounded
# time (60 s, or Q31_FUZZ_SECONDS), starting from the saved corpus. Exits
# non-zero on a finding; the input that found it is left in
# build-fuzz/session-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${Q31_FUZZ_SECONDS:-60}"
# A fixed seed makes the bounded run repeatable (CI); 0 lets libFuzzer pick.
seed="${Q31_FUZZ_SEED:-0}"
build="${Q31_FUZZ_BUILD:-build-fuzz}"
bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQ31_LIBFUZZER=ON -DQ31_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target SessionFuzz SessionFuzz_replay -j2

work="$build/session-fuzz"
mkdir -p "$work/corpus" "$work/findings"
# New inputs go to the working corpus; the saved one is only read. A single
# input that runs for 10 s of real time counts as a finding too (the session
# itself runs on a manual clock and never waits).
if ! "$build/fuzz/SessionFuzz" -max_total_time="$seconds" -seed="$seed" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" "$work/corpus" fuzz/corpus/SessionFuzz; then
  echo "SessionFuzz found a fault; the input is in $work/findings/:" >&2
  ls -l "$work/findings" >&2
  echo "replay it with: $build/fuzz/SessionFuzz_replay <file>  (Q31_SESSION_TRACE=1 tells each request)" >&2
  exit 1
fi
