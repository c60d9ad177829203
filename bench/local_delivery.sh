#!/usr/bin/env bash
# Local delivery throughput: lays out a mail tree with 100 users, starts the
# delivery agent ("kelpd -debug"), drops N mails of about 4 KB (one to three
# local recipients each) into the queue as fast as it can and measures the time
# until the queue is empty and every mailbox file exists.
#
#   bench/local_delivery.sh [N]        (default 10000)
# Environment: BUILD_DIR (default build/bench), NO_BUILD=1, KELPD_LOCAL_SYNC=file to sync
# each file instead of once per pass, BENCH_DRIVER=1 to run the agent alone
# (bench/local_driver.cpp) instead of kelpd, PREFILL=1 to write the whole queue
# first and time kelpd from its start (as bench/compare_postfix.sh times Postfix
# from the release of a filled queue).
set -euo pipefail
mails=${1:-10000}
users=100
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/bench/tree.sh"
bench_build kelpd kelpd_queue_writer kelpd_local_driver
build=$bench_dir

work=$(mktemp -d "${TMPDIR:-/tmp}/kelpd-bench-XXXXXX")
pid=
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -INT "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  bench_remove "$work"
}
trap cleanup EXIT

bench_tree "$work" "AutoTransport:	0"
for ((u = 0; u < users; u++)); do
  d=$(printf '%s/spool/user%03d' "$work" "$u")
  mkdir -p "$d"
  printf 'NextUID:\t1\n' >"$d/config"
  : >"$d/password"
done
export MAILCONFIGDIR=$work/config MAILLOCKDIR=$work/lock

start_agent() {
  "$@" >"$work/agent.log" 2>&1 &
  pid=$!
  sleep 1
  kill -0 "$pid" 2>/dev/null
}
count_stored() { find "$work/spool" -name '*.eml' | wc -l; }

if [ "${PREFILL:-0}" = 1 ]; then
  copies=$("$build/bench/kelpd_queue_writer" "$work/queue" "$mails" "$users" bench.example)
  t0=$(date +%s.%N)
  "$build/src/app/kelpd" -debug >"$work/agent.log" 2>&1 &
  pid=$!
else
  if [ "${BENCH_DRIVER:-0}" = 1 ] || ! start_agent "$build/src/app/kelpd" -debug; then
    pid=
    start_agent "$build/bench/kelpd_local_driver" || { cat "$work/agent.log" >&2; exit 1; }
  fi
  t0=$(date +%s.%N)
  copies=$("$build/bench/kelpd_queue_writer" "$work/queue" "$mails" "$users" bench.example)
fi
[ -z "${BENCH_VERBOSE:-}" ] || echo "queue written after $(awk -v a="$t0" -v b="$(date +%s.%N)" "BEGIN {print b - a}") s" >&2
deadline=$((SECONDS + 900))
while :; do
  if [ -z "$(find "$work/queue" -maxdepth 1 -name '*.eml' -print -quit)" ] &&
     [ "$(count_stored)" -ge "$copies" ]; then
    break
  fi
  if ((SECONDS > deadline)) || ! kill -0 "$pid" 2>/dev/null; then
    echo "local-delivery: gave up: $(count_stored) of $copies copies stored" >&2
    tail -5 "$work/agent.log" >&2
    exit 1
  fi
  sleep 0.05
done
t1=$(date +%s.%N)
rss_kib=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status")
errors=$(find "$work/error" -name '*.eml' | wc -l)
[ "$errors" -eq 0 ] || echo "warning: $errors mails in the error directory" >&2
awk -v n="$mails" -v c="$copies" -v t0="$t0" -v t1="$t1" -v rss="$rss_kib" 'BEGIN {
  s = t1 - t0
  printf "local-delivery: %d mails, %d copies in %.2f s = %.0f copies/s, peak RSS %.1f MiB\n", n, c, s, c / s, rss / 1024
}'
