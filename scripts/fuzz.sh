#!/usr/bin/env bash
# Fuzzes the engine (no Python) with libFuzzer, ASan and UBSan for a bounded time.
#   FUZZ_SECONDS=60: the length of the run (one fuzzing process)
# The run starts from a copy of the committed seeds in tests/fuzz/corpus, so that the
# inputs it finds never land in the tree. A crash leaves its input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/fuzz"
seconds="${FUZZ_SECONDS:-60}"

require "command -v clang++" clang
# libFuzzer's runtime comes in its own package on Debian.
require '[ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]' libclang-rt-14-dev
require "command -v cmake" cmake

echo "== fuzz target (clang, libFuzzer + ASan + UBSan)"
cmake -S . -B "$build/cmake" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNONAGAME_BUILD_FUZZ=ON -DNONAGAME_WERROR=ON >/dev/null
cmake --build "$build/cmake" -j "$(nproc)" --target engine_fuzz

corpus="$build/corpus"
artifacts="$build/artifacts"
rm -rf "$corpus" "$artifacts"
mkdir -p "$corpus" "$artifacts"
cp tests/fuzz/corpus/* "$corpus/"

echo "== fuzzing the engine for $seconds s"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
log="$build/fuzz.log"
status=0
"$build/cmake/tests/fuzz/engine_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
grep -E "^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|Done )" "$log" || true
# Slow units are only reported: their time depends on the load of the machine.
if [ "$status" != 0 ] || ls "$artifacts" | grep -qv '^slow-unit-'; then
  tail -n 60 "$log" >&2
  echo "fuzzing found a fault; inputs in $artifacts, full log in $log" >&2
  exit 1
fi
echo "== fuzz.sh passed in $(elapsed "$start") s"
