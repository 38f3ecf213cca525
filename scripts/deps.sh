# Sourced by the scripts in this folder: installs a missing tool with apt-get when run as
# root, or stops with the command to run otherwise.
#   require TEST_COMMAND PACKAGE...   e.g. require "command -v clang-tidy" clang-tidy
require() {
  local check="$1"
  shift
  if eval "$check" >/dev/null 2>&1; then return 0; fi
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing $*"
    if [ -z "${NONAGAME_APT_UPDATED:-}" ]; then
      apt-get update -qq
      export NONAGAME_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
    eval "$check" >/dev/null 2>&1 && return 0
    echo "installing $* did not provide what is needed ($check)" >&2
  else
    echo "Missing: $*. Install it first: sudo apt-get install $*" >&2
  fi
  exit 1
}

have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }
have_benchmark() {
  [ -f /usr/include/benchmark/benchmark.h ] || [ -f /usr/local/include/benchmark/benchmark.h ]
}

# The seconds since start, for the timing lines of the scripts.
elapsed() { echo "$(( $(date +%s) - $1 ))"; }

# check_reports DIR STATUS: prints the sanitizer reports written into DIR, if any, and fails;
# otherwise returns STATUS (the exit status of the tests that ran).
check_reports() {
  local reports=$1 status=$2
  if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports" >&2
    for report in "$reports"/*; do echo "--- $report" >&2; cat "$report" >&2; done
    exit 1
  fi
  return "$status"
}
