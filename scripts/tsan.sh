#!/usr/bin/env bash
# Builds the engine tests and both extension modules with ThreadSanitizer, runs the C++
# tests, then the Python tests that use native threads (marked `threads`) against the
# instrumented modules. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/tsan"
python="${PYTHON:-python3}"

require have_gtest libgtest-dev
require "command -v cmake" cmake

echo "== ThreadSanitizer build"
interpreter=$("$python" -c 'import sys; print(sys.executable)')
cmake -S . -B "$build/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNONAGAME_CHECK_INVARIANTS=ON -DNONAGAME_SANITIZE_THREAD=ON \
  -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=ON -DNONAGAME_WERROR=ON \
  -DPython_EXECUTABLE="$interpreter" >/dev/null
cmake --build "$build/cmake" -j "$(nproc)"

reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:second_deadlock_stack=1"

echo "== engine tests (C++, ThreadSanitizer)"
status=0
ctest --test-dir "$build/cmake" --output-on-failure -j "$(nproc)" || status=$?
check_reports "$reports" "$status"

echo "== threaded Python tests against the instrumented modules"
venv="$build/venv"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q numpy pytest hypothesis
libtsan=$(g++ -print-file-name=libtsan.so)
[ -f "$libtsan" ] || { echo "$libtsan not found (g++ -print-file-name)" >&2; exit 1; }
status=0
# The interpreter is not instrumented: the runtime must be loaded first.
LD_PRELOAD="$libtsan" PYTHONPATH="$build/cmake/python" \
  "$venv/bin/python" -m pytest tests/python -q -m threads -p no:cacheprovider || status=$?
check_reports "$reports" "$status"
echo "== tsan.sh passed in $(elapsed "$start") s"
