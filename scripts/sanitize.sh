#!/usr/bin/env bash
# Builds the engine tests and both extension modules with a sanitizer, runs the C++ tests,
# then Python tests against the instrumented modules. Any report fails the run.
#   scripts/sanitize.sh [address]  AddressSanitizer + UndefinedBehaviorSanitizer, in
#                                  build/sanitize: every C++ test and the whole Python suite
#                                  but the whole-program tests (marker `programs`), which
#                                  run once, in the plain runs of test.sh.
#   scripts/sanitize.sh thread     ThreadSanitizer, in build/tsan: every C++ test and the
#                                  Python tests that use native threads (marker `threads`).
# Every finding is fatal (-fno-sanitize-recover=all, halt_on_error), so a run that passes
# had none. A second argument runs one phase: venv (the test venv), build, or test (the
# C++ and Python tests of an earlier build); test.sh runs them apart so that they overlap
# with other steps.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
mode="${1:-address}"
phase="${2:-all}"
python="${PYTHON:-python3}"

require_all have_gtest libgtest-dev "command -v cmake" cmake

case "$mode" in
  address)
    build="$PWD/build/sanitize"
    flag=NONAGAME_SANITIZE
    # The optional extras as well (but JAX, whose training test needs no native code of
    # ours), so that the environments run against the sanitized modules too.
    packages=(numpy pytest hypothesis pyarrow pettingzoo gymnasium)
    selection=(-m "not programs")
    # The C++ runtime is preloaded after ASan's: ASan looks up the real __cxa_throw when it
    # starts, and the interpreter alone does not load libstdc++, so the module's first throw
    # would stop with "CHECK failed ... real___cxa_throw".
    runtimes=(libasan.so libstdc++.so)
    # PYTHONMALLOC=malloc sends every Python object through ASan's allocator, so that an
    # access past the end of one of the module's objects is caught too. NONAGAME_SANITIZED
    # tells the leak test to run its calls without judging memory figures, which here would
    # measure the sanitizer's own allocator.
    # The stateful test's 200 examples run in each plain run; here 60 of them find the
    # memory faults of its steps in a third of the time.
    environment=(PYTHONMALLOC=malloc NONAGAME_SANITIZED=1 NONAGAME_STATEFUL_EXAMPLES=60)
    ;;
  thread)
    build="$PWD/build/tsan"
    flag=NONAGAME_SANITIZE_THREAD
    # The rl extra too: the network's tests read positions through the environments' planes,
    # and every test module is collected before the marker selects.
    packages=(numpy pytest hypothesis pettingzoo gymnasium)
    selection=(-m threads)
    runtimes=(libtsan.so)
    environment=()
    ;;
  *) echo "usage: scripts/sanitize.sh [address|thread] [venv|build|test]" >&2; exit 2 ;;
esac
case "$phase" in
  all | venv | build | test) ;;
  *) echo "usage: scripts/sanitize.sh [address|thread] [venv|build|test]" >&2; exit 2 ;;
esac
venv="$build/venv"

if [ "$phase" = all ] || [ "$phase" = venv ]; then
  echo "== venv for the $mode-sanitized tests ($venv)"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q "${packages[@]}"
  if [ "$phase" = venv ]; then exit 0; fi
fi

if [ "$phase" = all ] || [ "$phase" = build ]; then
  echo "== $mode-sanitized build ($build)"
  interpreter=$("$python" -c 'import sys; print(sys.executable)')
  cmake -S . -B "$build/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$SANITIZED_BUILD_FLAGS" -DNONAGAME_CHECK_INVARIANTS=ON -D$flag=ON \
    -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=ON -DNONAGAME_WERROR=ON \
    -DPython_EXECUTABLE="$interpreter" >/dev/null
  cmake --build "$build/cmake" -j "${BUILD_JOBS:-$(nproc)}"
  if [ "$phase" = build ]; then echo "== sanitize.sh $mode build done in $(elapsed "$start") s"; exit 0; fi
fi

# Reports are written to files, not to standard error: pytest captures file descriptor 2
# and loses it when the process dies, and some tests run subprocesses with captured output.
reports="$build/reports"
rm -rf "$reports"
mkdir -p "$reports"
# Leak checking is on for the C++ tests only: the interpreter keeps its own objects until
# the process ends.
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=0:strict_string_checks=1:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$reports/tsan:halt_on_error=1:second_deadlock_stack=1"

echo "== engine tests (C++, $mode-sanitized)"
status=0
ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1}" \
  ctest --test-dir "$build/cmake" --output-on-failure -j "$(nproc)" || status=$?
check_reports "$reports" "$status"

echo "== Python tests against the $mode-sanitized modules"
[ -x "$venv/bin/python" ] || { echo "no venv in $venv: run scripts/sanitize.sh $mode venv first" >&2; exit 1; }
module_dir="$build/cmake/python"
# The interpreter is not instrumented: the sanitizer's runtime has to be the first library
# loaded.
preload=""
for name in "${runtimes[@]}"; do
  lib=$(g++ -print-file-name="$name")
  [ -f "$lib" ] || { echo "$name not found (g++ -print-file-name)" >&2; exit 1; }
  preload="${preload:+$preload:}$lib"
done
run() {
  env LD_PRELOAD="$preload" "${environment[@]}" PYTHONPATH="$module_dir" "$venv/bin/python" "$@"
}
loaded=$(run -c 'import nonagame; print(nonagame.__file__)')
case "$loaded" in
  "$module_dir"/*) echo "module: $loaded" ;;
  *) echo "the instrumented module was not the one imported: $loaded" >&2; exit 1 ;;
esac
status=0
run -m pytest tests/python -q -rs -p no:cacheprovider "${selection[@]}" || status=$?
check_reports "$reports" "$status"
echo "== sanitize.sh $mode passed in $(elapsed "$start") s"
