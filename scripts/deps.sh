# Sourced by the scripts in this folder: installs missing tools with apt-get when run as
# root, or stops with the command to run otherwise.
#   require TEST_COMMAND PACKAGE...   e.g. require "command -v clang-tidy" clang-tidy
#   require_all TEST_COMMAND PACKAGE [TEST_COMMAND PACKAGE]...: the same for several tools,
#     with one apt-get call for all that are missing.
require() {
  local check="$1"
  shift
  if eval "$check" >/dev/null 2>&1; then return 0; fi
  install_packages "$@"
  eval "$check" >/dev/null 2>&1 && return 0
  echo "installing $* did not provide what is needed ($check)" >&2
  exit 1
}

require_all() {
  local checks=() missing=()
  while [ $# -ge 2 ]; do
    eval "$1" >/dev/null 2>&1 || { checks+=("$1"); missing+=("$2"); }
    shift 2
  done
  [ ${#missing[@]} = 0 ] && return 0
  install_packages "${missing[@]}"
  local check
  for check in "${checks[@]}"; do
    eval "$check" >/dev/null 2>&1 && continue
    echo "installing ${missing[*]} did not provide what is needed ($check)" >&2
    exit 1
  done
}

install_packages() {
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing $*"
    if [ -z "${NONAGAME_APT_UPDATED:-}" ]; then
      apt-get update -qq
      export NONAGAME_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
  else
    echo "Missing: $*. Install it first: sudo apt-get install $*" >&2
    exit 1
  fi
}

have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }
have_benchmark() {
  [ -f /usr/include/benchmark/benchmark.h ] || [ -f /usr/local/include/benchmark/benchmark.h ]
}
# libFuzzer's runtime comes in its own package on Debian.
have_fuzzer() { [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-x86_64.a" ]; }

# The optimisation of the sanitized and fuzzing builds (their CMAKE_BUILD_TYPE is
# RelWithDebInfo): -O1 and line tables only, which is what the sanitizers' reports need
# (function names and lines) and compiles in well under the time of -O2 -g.
SANITIZED_BUILD_FLAGS="-O1 -g1 -DNDEBUG"

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
