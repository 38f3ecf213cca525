#!/usr/bin/env bash
# Runs every test of the project: the engine's C++ tests under CTest, then the Python
# tests against the built wheel, once with NumPy 1.x and once with NumPy 2.x.
set -euo pipefail
cd "$(dirname "$0")/.."
build="$PWD/build/test"
python="${PYTHON:-python3}"

have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }
if ! have_gtest; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing GoogleTest (libgtest-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing. Install it first: sudo apt-get install libgtest-dev" >&2
    exit 1
  fi
fi

# The engine benchmark is built beside the engine tests when Google Benchmark is there, so
# that the benchmark smoke test among the Python tests runs it without building anything.
bench=OFF
if [ -f /usr/include/benchmark/benchmark.h ] || [ -f /usr/local/include/benchmark/benchmark.h ]; then
  bench=ON
  export NONAGAME_BENCH_BUILD_DIR="$build/cpp"
fi

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
  "$venv/bin/python" -m pip install -q "numpy>=$numpy,<$((numpy + 1))" pytest hypothesis "mypy>=2.4" ray
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -c "import numpy; print('NumPy', numpy.__version__)"
  "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done

echo "== typing: the stub against the module, and the examples under mypy --strict"
"$venv/bin/python" -m mypy.stubtest nonagame
"$venv/bin/python" -m mypy --strict examples/
