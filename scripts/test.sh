#!/usr/bin/env bash
# Installs what is missing, then builds the registry twice and runs every test
# on both builds: a normal build with warnings as errors, and a build with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

run_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DREGISTRY_WERROR=ON "$@"
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$(nproc)")
}

status=0
echo "== normal build =="
run_build build || status=1
echo "== sanitizer build (address, undefined) =="
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
  run_build build-asan -DREGISTRY_SANITIZE=ON || status=1

if [ $status -ne 0 ]; then
  echo "tests failed" >&2
fi
exit $status
