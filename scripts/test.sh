#!/usr/bin/env bash
# Runs every test of the project: the engine's C++ tests under CTest, then the Python
# tests against the wheel built from the source distribution, once with NumPy 1.x and once
# with NumPy 2.x, and the typing checks; then the static checks (lint.sh), the sanitized
# build with both test suites (sanitize.sh) and a bounded fuzzing run of the engine
# (fuzz.sh), and the ThreadSanitizer build with the threaded tests (tsan.sh). Any failing
# step fails the run.
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

echo "== engine tests (C++)"
cmake -S . -B "$build/cpp" -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_BUILD_MODULE=OFF \
  -DNONAGAME_BUILD_BENCH=$bench -DNONAGAME_WERROR=ON >/dev/null
cmake --build "$build/cpp" -j "$(nproc)"
ctest --test-dir "$build/cpp" --output-on-failure

echo "== building the source distribution, and the wheel from it"
rm -rf "$build/dist"
"$python" -m pip install -q build
"$python" -m build --sdist -o "$build/dist" . >/dev/null
sdist=$(ls "$build"/dist/nonagame-*.tar.gz)
"$python" -m pip wheel "$sdist" --no-deps -q -w "$build/dist"
wheel=$(ls "$build"/dist/nonagame-*.whl)

for numpy in 1 2; do
  echo "== Python tests with NumPy $numpy.x"
  venv="$build/venv-numpy$numpy"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  # The optional extras, so that no test is skipped: rl (PettingZoo, Gymnasium), data and
  # distributed (pyarrow, Ray), and, with NumPy 2 only (current JAX needs it), train.
  extras=(pettingzoo gymnasium ray)
  if [ "$numpy" = 1 ]; then extras+=("pyarrow<26"); else extras+=(pyarrow jax flax optax); fi
  "$venv/bin/python" -m pip install -q "numpy>=$numpy,<$((numpy + 1))" pytest hypothesis "mypy>=2.4" \
    "${extras[@]}"
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -c "import numpy; print('NumPy', numpy.__version__)"
  "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done

echo "== typing: the stub against the module, and the examples under mypy --strict"
"$venv/bin/python" -m mypy.stubtest nonagame
"$venv/bin/python" -m mypy.stubtest nonagame_lab
"$venv/bin/python" -m mypy --strict examples/

for check in lint sanitize tsan fuzz; do
  echo "== scripts/$check.sh"
  bash "scripts/$check.sh"
done
echo "== all tests passed in $(elapsed "$start") s"
