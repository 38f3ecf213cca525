#!/usr/bin/env bash
# Fuzzes the engine (no Python) with libFuzzer, ASan and UBSan for a bounded time.
#   scripts/fuzz.sh [build|run]: both by default; test.sh builds the targets while other
#   tests run and fuzzes later.
#   FUZZ_SECONDS=60: the length of the whole run, split between the five targets: the
#   engine's operations (engine_fuzz, the rest), the notation parser (notation_fuzz), the
#   batch of games (batch_fuzz), the search (search_fuzz) and the network loader with the
#   forward pass of what it accepts (network_fuzz), a sixth each, one fuzzing process each,
#   one after the other.
# Each target starts from a copy of its committed seeds (tests/fuzz/corpus for the engine,
# tests/fuzz/<name>_corpus for the others), so that the inputs it finds never land in the
# tree. A crash leaves its input in build/fuzz/artifacts (engine) or
# build/fuzz/<name>/artifacts (notation, batch, search, network).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/fuzz"
seconds="${FUZZ_SECONDS:-60}"
phase="${1:-all}"
case "$phase" in
  all | build | run) ;;
  *) echo "usage: scripts/fuzz.sh [build|run]" >&2; exit 2 ;;
esac

require_all "command -v clang++" clang have_fuzzer libclang-rt-14-dev "command -v cmake" cmake

if [ "$phase" != run ]; then
  echo "== fuzz targets (clang, libFuzzer + ASan + UBSan)"
  cmake -S . -B "$build/cmake" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$SANITIZED_BUILD_FLAGS" -DNONAGAME_CHECK_INVARIANTS=ON \
    -DNONAGAME_BUILD_FUZZ=ON -DNONAGAME_WERROR=ON >/dev/null
  cmake --build "$build/cmake" -j "${BUILD_JOBS:-$(nproc)}" --target engine_fuzz notation_fuzz batch_fuzz \
    search_fuzz network_fuzz
  if [ "$phase" = build ]; then echo "== fuzz.sh build done in $(elapsed "$start") s"; exit 0; fi
fi

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# fuzz TARGET SEEDS DIR SECONDS: one bounded run of a target from a copy of its seeds,
# with its corpus, artifacts and log in DIR.
fuzz() {
  local target="$1" seeds="$2" dir="$3" budget="$4"
  local corpus="$dir/corpus" artifacts="$dir/artifacts" log="$dir/fuzz.log"
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp "$seeds"/* "$corpus/"
  echo "== fuzzing $target for $budget s"
  local status=0
  "$build/cmake/tests/fuzz/$target" -max_total_time="$budget" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1 || status=$?
  grep -E "^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|Done )" "$log" || true
  # Slow units are only reported: their time depends on the load of the machine.
  if [ "$status" != 0 ] || ls "$artifacts" | grep -qv '^slow-unit-'; then
    tail -n 60 "$log" >&2
    echo "fuzzing $target found a fault; inputs in $artifacts, full log in $log" >&2
    exit 1
  fi
}

notation_seconds=$(( seconds / 6 > 0 ? seconds / 6 : 1 ))
batch_seconds=$notation_seconds
search_seconds=$notation_seconds
network_seconds=$notation_seconds
engine_seconds=$(( seconds - 4 * notation_seconds > 0 ? seconds - 4 * notation_seconds : 1 ))
fuzz engine_fuzz tests/fuzz/corpus "$build" "$engine_seconds"
fuzz notation_fuzz tests/fuzz/notation_corpus "$build/notation" "$notation_seconds"
fuzz batch_fuzz tests/fuzz/batch_corpus "$build/batch" "$batch_seconds"
fuzz search_fuzz tests/fuzz/search_corpus "$build/search" "$search_seconds"
fuzz network_fuzz tests/fuzz/network_corpus "$build/network" "$network_seconds"
echo "== fuzz.sh passed in $(elapsed "$start") s"
