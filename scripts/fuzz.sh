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
source scripts/lib/fuzz.sh
build_fuzzers

status=0
for name in $(fuzzer_names); do
  if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then
    continue
  fi
  echo "=== fuzzing $name for ${seconds}s ==="
  if ! run_fuzzer "$name" "$seconds" 2>&1 | tail -15; then
    echo "fuzzer $name FAILED"
    status=1
  fi
done
exit "$status"
