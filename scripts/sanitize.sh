#!/usr/bin/env bash
# Builds the engine tests and the Python module with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the C++ tests, then the whole Python test suite against
# the sanitized module. Every finding is fatal (-fno-sanitize-recover=all), so a run that
# passes had none.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/sanitize"
python="${PYTHON:-python3}"

require have_gtest libgtest-dev
require "command -v cmake" cmake

echo "== sanitized build (ASan + UBSan)"
interpreter=$("$python" -c 'import sys; print(sys.executable)')
cmake -S . -B "$build/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNONAGAME_CHECK_INVARIANTS=ON -DNONAGAME_SANITIZE=ON \
  -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=ON -DNONAGAME_WERROR=ON \
  -DPython_EXECUTABLE="$interpreter" >/dev/null
cmake --build "$build/cmake" -j "$(nproc)"

# halt_on_error is the default for ASan; UBSan is made fatal at compile time. Reports are
# written to files, not to standard error: pytest captures file descriptor 2 and loses it
# when the process dies, and some tests run subprocesses with captured output. Leak checking stays off
# for the interpreter, which keeps its own objects until the process ends.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=0:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"

echo "== engine tests (C++, sanitized)"
status=0
ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1}" \
  ctest --test-dir "$build/cmake" --output-on-failure -j "$(nproc)" || status=$?
check_reports "$reports" "$status"

echo "== Python tests against the sanitized module"
venv="$build/venv"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
# The optional extras as well (but JAX, whose training test needs no native code of ours), so
# that the environments and the examples run against the sanitized modules too.
"$venv/bin/python" -m pip install -q numpy pytest hypothesis ray pyarrow pettingzoo gymnasium
module_dir="$build/cmake/python"
# The interpreter is not built with ASan: its runtime has to be the first library loaded.
# The C++ runtime is preloaded as well: ASan looks up the real __cxa_throw when it starts,
# and the interpreter alone does not load libstdc++, so the module's first throw would
# stop with "CHECK failed ... real___cxa_throw".
libasan=$(g++ -print-file-name=libasan.so)
libstdcxx=$(g++ -print-file-name=libstdc++.so)
for lib in "$libasan" "$libstdcxx"; do
  [ -f "$lib" ] || { echo "$lib not found (g++ -print-file-name)" >&2; exit 1; }
done
run() {
  # PYTHONMALLOC=malloc sends every Python object through ASan's allocator, so that an
  # access past the end of one of the module's objects is caught too.
  # NONAGAME_SANITIZED tells the leak test to run its calls without judging memory figures,
  # which here would measure the sanitizer's own allocator.
  LD_PRELOAD="$libasan:$libstdcxx" PYTHONMALLOC=malloc NONAGAME_SANITIZED=1 \
    PYTHONPATH="$module_dir" "$venv/bin/python" "$@"
}
loaded=$(run -c 'import nonagame; print(nonagame.__file__)')
case "$loaded" in
  "$module_dir"/*) echo "module: $loaded" ;;
  *) echo "the sanitized module was not the one imported: $loaded" >&2; exit 1 ;;
esac
status=0
run -m pytest tests/python -q -rs -p no:cacheprovider || status=$?
check_reports "$reports" "$status"
echo "== sanitize.sh passed in $(elapsed "$start") s"
