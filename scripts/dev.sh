#!/usr/bin/env bash
# The everyday loop, in well under a minute once built: configures and builds the
# development copy in build/dev (the engine tests, the nonagame module and the lab package),
# runs the C++ tests, then the Python tests against build/dev/python, and says how to run
# one test. By default the memory-leak test (test_leaks.py, about 20 s) is left out and the
# stateful property test runs 25 examples instead of 200; `scripts/dev.sh --all` runs them
# in full. Other arguments go to pytest: `scripts/dev.sh -k borrow`.
# The full run (the wheel, NumPy 1.x and 2.x, typing, lint, sanitizers, fuzzing) stays
# scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build=build/dev
python="${PYTHON:-python3}"

require have_gtest libgtest-dev

full=0
if [ "${1:-}" = "--all" ]; then
  full=1
  shift
fi

echo "== build ($build)"
interpreter=$("$python" -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DNONAGAME_BUILD_MODULE=ON -DNONAGAME_BUILD_TESTS=ON -DNONAGAME_WERROR=ON \
  -DPython_EXECUTABLE="$interpreter" >/dev/null
# Progress lines left out; with pipefail a failed build still stops the script.
cmake --build "$build" -j "$(nproc)" 2>&1 | { grep -v "^\[ *[0-9]*%\]" || true; }

echo "== C++ tests"
log="$build/ctest.log"
if ctest --test-dir "$build" --output-on-failure >"$log" 2>&1; then
  tail -n 3 "$log"
else
  cat "$log" >&2
  exit 1
fi

echo "== Python tests"
quick=()
if [ "$full" = 0 ]; then
  quick=(--ignore=tests/python/test_leaks.py)
  export NONAGAME_STATEFUL_EXAMPLES="${NONAGAME_STATEFUL_EXAMPLES:-25}"
fi
PYTHONPATH="$build/python" "$python" -m pytest tests/python -q -x -p no:cacheprovider "${quick[@]}" "$@"

echo "== dev.sh passed in $(elapsed "$start") s"
cat <<EOT
One Python test: PYTHONPATH=$build/python $python -m pytest tests/python/test_game.py::test_won_roster_leaves_play
One C++ test:    $build/tests/cpp/engine_tests --gtest_filter='Board*'
Everything:      scripts/dev.sh --all (this loop in full), scripts/test.sh (what CI runs)
EOT
