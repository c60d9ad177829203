#!/usr/bin/env bash
# Installs what the build and the tests need, builds the plain and the
# sanitizer (ASan+UBSan) builds with warnings as errors, and runs every test
# in both. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=$(nproc)
status=0
run_build() {
  local dir=$1
  shift
  echo "=== build $dir ==="
  cmake -S . -B "$dir" -G Ninja -DKELPD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== tests $dir ==="
  if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600); then
    status=1
  fi
}

run_build build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_build build/asan -DCMAKE_BUILD_TYPE=Debug -DKELPD_SANITIZE=ON

echo "=== fuzzers ==="
if ! ./scripts/fuzz.sh "${KELPD_FUZZ_SECONDS:-30}"; then
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "tests FAILED"
else
  echo "all tests passed (plain and sanitizer builds)"
fi
exit "$status"
