#!/usr/bin/env bash
# Runs every test of the project: the engine's C++ tests under CTest, then the Python
# tests against the wheel built from the source distribution, once with NumPy 1.x and once
# with NumPy 2.x (the whole-program tests, marker `programs`, only in the second), and the
# typing checks; then the static checks (lint.sh), the AddressSanitizer and
# ThreadSanitizer builds with their test suites (sanitize.sh address, sanitize.sh thread)
# and a bounded fuzzing run (fuzz.sh). Any failing step fails the run. At the end it prints
# each step's time: about 23 minutes in all on a quiet machine with two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/test"
python="${PYTHON:-python3}"

require have_gtest libgtest-dev

# The engine benchmark is built beside the engine tests, so that the benchmark smoke test
# among the Python tests runs it without building anything.
require have_benchmark libbenchmark-dev
# The picture test screenshots Position.to_svg() in a real browser.
require "command -v chromium" chromium
bench=ON
export NONAGAME_BENCH_BUILD_DIR="$build/cpp"

# step NAME: starts timing a step (the previous one ends there); the table is printed at
# the end.
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

step "engine tests (C++)"
cmake -S . -B "$build/cpp" -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=OFF \
  -DNONAGAME_BUILD_BENCH=$bench -DNONAGAME_WERROR=ON >/dev/null
cmake --build "$build/cpp" -j "$(nproc)"
ctest --test-dir "$build/cpp" --output-on-failure

step "building the source distribution, and the wheel from it"
rm -rf "$build/dist"
"$python" -m pip install -q build
"$python" -m build --sdist -o "$build/dist" . >/dev/null
sdist=$(ls "$build"/dist/nonagame-*.tar.gz)
"$python" -m pip wheel "$sdist" --no-deps -q -w "$build/dist"
wheel=$(ls "$build"/dist/nonagame-*.whl)

for numpy in 1 2; do
  step "Python tests with NumPy $numpy.x"
  venv="$build/venv-numpy$numpy"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  # The optional extras, so that no test is skipped: rl (PettingZoo, Gymnasium), data and
  # distributed (pyarrow, Ray), and, with NumPy 2 only (current JAX needs it), train and
  # bench (the peer that the benchmarks compare with).
  extras=(pettingzoo gymnasium ray)
  if [ "$numpy" = 1 ]; then
    extras+=("pyarrow<26")
    # The example programs and benchmarks exercise the same modules whatever the NumPy;
    # they run once, with NumPy 2.x.
    selection=(-m "not programs")
  else
    extras+=(pyarrow jax flax optax tqdm matplotlib "open-spiel>=2.0")
    selection=()
  fi
  "$venv/bin/python" -m pip install -q "numpy>=$numpy,<$((numpy + 1))" pytest hypothesis "mypy>=2.4" \
    "${extras[@]}"
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

for check in lint "sanitize address" "sanitize thread" fuzz; do
  step "scripts/$check"
  read -r script mode <<<"$check"
  bash "scripts/$script.sh" ${mode:+"$mode"}
done
step "done"
echo "== step times"
for line in "${steps[@]:0:${#steps[@]}-1}"; do
  printf '  %5s s  %s\n' "${line##*	}" "${line%	*}"
done
echo "== all tests passed in $(elapsed "$start") s"
