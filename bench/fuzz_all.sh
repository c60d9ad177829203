#!/usr/bin/env bash
# Runs every fuzzer for MINUTES (default 5) and prints, for each, the inputs
# it executed, executions per second and the coverage it reached (cov: code
# edges, ft: features). The fuzzers run one after the other, so each has a
# core to itself on a quiet machine; JOBS > 1 runs that many at once (at most
# one per core for fair figures). Executions per CPU second are printed too:
# on a busy machine they, not the wall-clock rate, say how fast a fuzzer is.
#   bench/fuzz_all.sh [MINUTES] [JOBS] [TARGET...]   (no targets: all of them)
# Each run starts from fuzz/corpus/<target>/ and the inputs earlier runs kept
# in build/fuzz/corpus/<target>/; the full output is in build/fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-5}
parallel=${2:-1}
shift 2 || shift $#
source scripts/lib/fuzz.sh
build_fuzzers >/dev/null
seconds=$((minutes * 60))
logs=$fuzz_dir/logs
mkdir -p "$logs"

names=${*:-$(fuzzer_names)}
echo "fuzzing $(echo $names | wc -w) targets for ${minutes} min each, $parallel at a time," \
  "on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for name in $names; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  (
    rc=0
    run_fuzzer "$name" "$seconds" >"$logs/$name.log" 2>&1 || rc=$?
    echo "$rc" >"$logs/$name.rc"
    # This subshell's children are the fuzzer's run: their user and system time.
    times >"$logs/$name.cpu"
  ) &
done
wait

status=0
printf '%-24s %12s %8s %12s %7s %8s  %s\n' fuzzer executions exec/s exec/cpu-s cov ft result
for name in $names; do
  log=$logs/$name.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -a ' cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  per_cpu=$(awk -v n="${execs:-0}" 'NR == 2 {
      for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); s += p[1] * 60 + p[2] }
      if (s > 0) printf "%d", n / s; else print "?" }' "$logs/$name.cpu")
  result=ok
  if [ "$(cat "$logs/$name.rc")" != 0 ]; then
    result="FAILED (see $log)"
    status=1
  fi
  printf '%-24s %12s %8s %12s %7s %8s  %s\n' "$name" "${execs:-?}" "${rate:-?}" "$per_cpu" \
    "${cov:-?}" "${ft:-?}" "$result"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
