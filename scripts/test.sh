#!/usr/bin/env bash
# Runs every test of the project: the engine's C++ tests under CTest, then the Python tests
# against the wheel built from the source distribution, once with NumPy 1.x and once with
# NumPy 2.x (the whole-program tests, marker `programs`, only in the second), and the typing
# checks; then the static checks (lint.sh), the AddressSanitizer and ThreadSanitizer builds
# with their test suites (sanitize.sh address, sanitize.sh thread) and a bounded fuzzing run
# (fuzz.sh). Any failing step fails the run.
#
# Work that needs one core runs beside work that needs one core: the later tools' and the
# venvs' installs (venvs.sh) beside the first builds, clang-tidy on one core beside the
# Python runs, the ThreadSanitizer build on one core beside the AddressSanitizer tests, the
# fuzzing beside the ThreadSanitizer tests. At the end it prints each step's time: about 16
# minutes in all on a quiet machine with two cores (967 s from a fresh clone).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/test"
python="${PYTHON:-python3}"
mkdir -p "$build"

# The tools of the first steps, in one apt-get call where some are missing; the engine
# benchmark is built beside the engine tests, so that the benchmark smoke test among the
# Python tests runs it without building anything. The later steps' tools are installed in
# the background (the `tools` step below).
require_all have_gtest libgtest-dev have_benchmark libbenchmark-dev "command -v cmake" cmake
export NONAGAME_BENCH_BUILD_DIR="$build/cpp"

# step NAME: starts timing a foreground step (the previous one ends there); the table is
# printed at the end.
steps=()
step_start=$start
step() {
  local now
  now=$(date +%s)
  [ ${#steps[@]} = 0 ] || steps[-1]="${steps[-1]}	$((now - step_start))"
  steps+=("$1")
  step_start=$now
  echo "== $1"
}

# background NAME COMMAND...: runs a command beside the foreground steps, in a session of
# its own (so that an early exit stops all of its processes), its output in build/test/ under
# NAME with every character but letters and digits made a dash.
# finish NAME: waits for it, prints its output and fails the run if it failed.
declare -A pids began
background_steps=()
background() {
  local name="$1"
  shift
  echo "== $name (in the background; its output follows when it is done)"
  began[$name]=$(date +%s)
  rm -f "$(log_of "$name").end"
  # The step's own time ends when its command does (written beside its log), not when
  # finish is reached.
  setsid bash -c '"$@"; status=$?; date +%s >"$0.end"; exit $status' "$(log_of "$name")" "$@" \
    >"$(log_of "$name")" 2>&1 &
  pids[$name]=$!
}
finish() {
  local name="$1" status=0
  wait "${pids[$name]}" || status=$?
  unset "pids[$name]"
  echo "== $name (background, done)"
  cat "$(log_of "$name")"
  local ended
  ended=$(cat "$(log_of "$name").end" 2>/dev/null || date +%s)
  background_steps+=("$name (in the background)	$((ended - began[$name]))")
  [ "$status" = 0 ] || { echo "$name failed (status $status)" >&2; exit 1; }
}
log_of() { echo "$build/${1//[^A-Za-z0-9]/-}.log"; }
stop_background() {
  local pid
  for pid in "${pids[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
}
trap stop_background EXIT

# The picture test screenshots Position.to_svg() in a real browser; lint.sh needs
# clang-tidy, fuzz.sh clang and libFuzzer's runtime.
background tools bash -c 'source scripts/deps.sh && require_all "command -v chromium" chromium \
  "command -v clang-tidy" clang-tidy "command -v clang++" clang have_fuzzer libclang-rt-14-dev'
background venvs bash scripts/venvs.sh

step "engine tests (C++)"
cmake -S . -B "$build/cpp" -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=OFF \
  -DNONAGAME_BUILD_BENCH=ON -DNONAGAME_WERROR=ON >/dev/null
cmake --build "$build/cpp" -j "$(nproc)"
ctest --test-dir "$build/cpp" --output-on-failure

step "building the source distribution, and the wheel from it"
rm -rf "$build/dist"
"$python" -m pip install -q build
"$python" -m build --sdist -o "$build/dist" . >/dev/null
sdist=$(ls "$build"/dist/nonagame-*.tar.gz)
"$python" -m pip wheel "$sdist" --no-deps -q -w "$build/dist"
wheel=$(ls "$build"/dist/nonagame-*.whl)

step "waiting for the venvs and tools"
finish venvs
finish tools
background lint env LINT_JOBS=1 bash scripts/lint.sh

for numpy in 1 2; do
  step "Python tests with NumPy $numpy.x"
  venv="$build/venv-numpy$numpy"
  # The example programs and benchmarks exercise the same modules whatever the NumPy; they
  # run once, with NumPy 2.x.
  selection=()
  [ "$numpy" = 2 ] || selection=(-m "not programs")
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -c "import numpy; print('NumPy', numpy.__version__)"
  "$venv/bin/python" -m pytest tests/python -q -rs -p no:cacheprovider "${selection[@]}"
done

step "typing: the stubs against the modules, the lab and the examples under mypy --strict"
# In the NumPy 2.x venv, which has every extra the lab's typed code imports.
typing="$build/venv-numpy2/bin/python"
"$typing" -m mypy.stubtest nonagame
"$typing" -m mypy.stubtest nonagame_lab
"$typing" -m mypy --strict -p nonagame_lab
"$typing" -m mypy --strict examples/

step "waiting for scripts/lint"
finish lint

step "scripts/sanitize address: build"
bash scripts/sanitize.sh address build
background "scripts/sanitize thread: build" env BUILD_JOBS=1 bash scripts/sanitize.sh thread build
step "scripts/sanitize address: tests"
bash scripts/sanitize.sh address test
step "waiting for scripts/sanitize thread: build"
finish "scripts/sanitize thread: build"
step "scripts/fuzz: build"
bash scripts/fuzz.sh build
# The fuzzing processes use one core, the ThreadSanitizer tests mostly one.
background "scripts/fuzz: run" bash scripts/fuzz.sh run
step "scripts/sanitize thread: tests"
bash scripts/sanitize.sh thread test
step "waiting for scripts/fuzz: run"
finish "scripts/fuzz: run"
step "done"
echo "== step times"
for line in "${steps[@]:0:${#steps[@]}-1}" "${background_steps[@]}"; do
  printf '  %5s s  %s\n' "${line##*	}" "${line%	*}"
done
echo "== all tests passed in $(elapsed "$start") s"
