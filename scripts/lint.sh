#!/usr/bin/env bash
# Runs clang-tidy over every source file of src/ (engine and module) with the checks of
# .clang-tidy, against the compile database of a configured build. Any warning fails.
# LINT_JOBS (the number of cores by default) sets how many files are checked at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
start=$(date +%s)
build="$PWD/build/lint"
python="${PYTHON:-python3}"

require_all "command -v clang-tidy" clang-tidy "command -v cmake" cmake

echo "== compile database"
interpreter=$("$python" -c 'import sys; print(sys.executable)')
cmake -S . -B "$build" -DNONAGAME_BUILD_MODULE=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$interpreter" >/dev/null

echo "== clang-tidy on src/ ($(clang-tidy --version | grep -o 'version [0-9.]*'))"
mapfile -t sources < <(find src -name '*.cpp' | sort)
log="$build/clang-tidy.log"
status=0
# One process per file, LINT_JOBS at a time; headers are checked through the files that
# include them.
printf '%s\n' "${sources[@]}" |
  xargs -P "${LINT_JOBS:-$(nproc)}" -n 1 clang-tidy -p "$build" --quiet >"$log" 2>&1 || status=$?
if [ "$status" != 0 ] || grep -q "warning:\|error:" "$log"; then
  cat "$log" >&2
  echo "clang-tidy found problems in src/ (status $status)" >&2
  exit 1
fi
echo "${#sources[@]} files clean"
echo "== lint.sh passed in $(elapsed "$start") s"
