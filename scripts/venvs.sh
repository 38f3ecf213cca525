#!/usr/bin/env bash
# Makes the virtual environments of test.sh's Python runs, with every package their tests
# need but the wheel under test (test.sh installs it when it has been built):
#   build/test/venv-numpy1, build/test/venv-numpy2: the Python tests with NumPy 1.x and 2.x,
#     with the optional extras, so that no test is skipped: rl (PettingZoo, Gymnasium), data
#     and distributed (pyarrow, Ray), and, with NumPy 2 only (current JAX needs it), train and
#     bench (the peer that the benchmarks compare with). The heavy optional stacks (torch for
#     RLlib, Jupyter for the notebook) are left out: their tests run when they are present.
#   build/sanitize/venv, build/tsan/venv: those of the sanitized runs (sanitize.sh MODE venv).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/test"
python="${PYTHON:-python3}"

for numpy in 1 2; do
  venv="$build/venv-numpy$numpy"
  echo "== $venv"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  extras=(pettingzoo gymnasium ray)
  if [ "$numpy" = 1 ]; then
    extras+=("pyarrow<26")
  else
    extras+=(pyarrow jax flax optax tqdm matplotlib "open-spiel>=2.0")
  fi
  "$venv/bin/python" -m pip install -q "numpy>=$numpy,<$((numpy + 1))" pytest hypothesis "mypy>=2.4" \
    "${extras[@]}"
done
bash scripts/sanitize.sh address venv
bash scripts/sanitize.sh thread venv
echo "== venvs.sh done in $(elapsed "$start") s"
