# Shared by the reliability bench scripts: builds the plain (optimised) build
# and runs a filter of the integration tests with its output shown.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
bench_build=${KELPD_BENCH_BUILD:-build/plain}
# The options of the plain build of scripts/test.sh, so that neither rebuilds
# the other's work.
cmake -S . -B "$bench_build" -G Ninja -DKELPD_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bench_build" -j "$(nproc)" --target integration_tests kelpd >/dev/null

# run_integration FILTER: runs the matching integration tests, output shown.
run_integration() {
  "$bench_build/tests/integration_tests" --gtest_filter="$1" --gtest_color=no
}
