#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for the
# given number of seconds (default 30), starting from fuzz/corpus/<target>/.
# Names after the seconds pick targets (e.g. "scripts/fuzz.sh 600 dns_answer_fuzzer");
# without them every target runs, one after the other.
# New inputs found go to build/fuzz/corpus/<target>/ (kept between runs);
# a crash leaves its input in build/fuzz/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
only=("$@")
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DKELPD_FUZZ=ON -DKELPD_SANITIZE=ON \
  -DKELPD_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)"

status=0
for bin in "$dir"/fuzz/*_fuzzer; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then
    continue
  fi
  seeds=fuzz/corpus/$name
  work=$dir/corpus/$name
  mkdir -p "$work" "$seeds"
  echo "=== fuzzing $name for ${seconds}s ==="
  if ! (cd "$dir" && "../../$bin" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
        -print_final_stats=1 "../../$work" "../../$seeds" 2>&1 | tail -15); then
    echo "fuzzer $name FAILED"
    status=1
  fi
done
exit "$status"
