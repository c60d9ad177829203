#!/usr/bin/env bash
# Many waiting mails: fills the outgoing directory with N small mails (default
# 100,000) whose one smarthost refuses every connection, runs "kelpd -debug",
# lets every mail be tried once and deferred (the retry cycle is an hour away,
# so they then wait), and reports the service's peak RSS and what one scan of
# the outgoing directory costs while they wait.
#
#   bench/scale_outgoing.sh [N]
# Environment: BUILD_DIR (default build/bench), KELPD (a kelpd to run instead
# of building one), THREADS (delivery threads, default 8), WINDOW_S (the
# idle stretch measured, default 10), LIMIT_S (give up after, default 900),
# PROFILE=1 (record the agent thread with perf over the idle stretch and print
# where its time goes).
#
# The scan cost is the remote agent thread's CPU time over the idle stretch
# (from the kernel's per-thread accounting, in nanoseconds) divided by the
# number of scans in it: the agent lists the directory, then waits a second.
#
#   scale-outgoing: N waiting mails, peak RSS M MiB, scan S ms (agent CPU over W s), deferred in D s
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
n=${1:-100000}
threads=${THREADS:-8}
window_s=${WINDOW_S:-10}
limit_s=${LIMIT_S:-900}

source "$top/bench/tree.sh"
if [ -z "${KELPD:-}" ]; then
  bench_build kelpd
  KELPD=$bench_dir/src/app/kelpd
fi

work=$(mktemp -d /tmp/kelpd-scale.XXXXXX)
kelpd_pid=""
cleanup() {
  [ -n "$kelpd_pid" ] && kill -INT "$kelpd_pid" 2>/dev/null && wait "$kelpd_pid" 2>/dev/null || true
  bench_remove "$work"
}
trap cleanup EXIT

# A loopback port nobody listens on: every attempt is refused at once, which
# is a temporary failure.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
bench_tree "$work" "AutoTransport:	1" "AutoTransport.Threads:	$threads" \
  "AutoTransRetry:	60" "TrafficLogging:	0"
printf '*:\t127.0.0.1:%s\n' "$port" >"$work/config/smarthosts"

python3 - "$work/outgoing" "$n" <<'PY'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    text = ("X-Envelope-From: <sender@bench.example>\r\n"
            "X-Envelope-To: <rcpt%d@dead.example>\r\n"
            "From: <sender@bench.example>\r\nTo: <rcpt%d@dead.example>\r\n"
            "Subject: waiting %d\r\n\r\nThis mail waits for a host that is down.\r\n") % (i, i, i)
    tmp = os.path.join(d, ".m%d.tmp" % i)
    with open(tmp, "w", newline="") as f:
        f.write(text)
    os.rename(tmp, os.path.join(d, "m%06d.eml" % i))
PY

log=$work/kelpd.log
start=$(date +%s.%N)
MAILCONFIGDIR=$work/config MAILLOCKDIR=$work/lock "$KELPD" -debug >"$log" 2>&1 &
kelpd_pid=$!

elapsed() { awk -v s="$start" -v t="$(date +%s.%N)" 'BEGIN{printf "%.1f", t - s}'; }
over_limit() { awk -v e="$(elapsed)" -v l="$limit_s" 'BEGIN{exit !(e > l)}'; }
give_up() {
  echo "scale-outgoing: $1" >&2
  tail -5 "$log" >&2
  exit 1
}

# The agent's thread id, as its start line gives it (hexadecimal).
agent_tid=""
while [ -z "$agent_tid" ]; do
  kill -0 "$kelpd_pid" 2>/dev/null || give_up "kelpd ended"
  over_limit && give_up "no remote agent start line"
  hex=$(grep -o 'remote delivery agent (id [0-9A-F]*) started' "$log" | head -1 | grep -o '[0-9A-F]*) ' | tr -d ') ' || true)
  [ -n "$hex" ] && agent_tid=$((16#$hex))
  sleep 0.1
done
schedstat=/proc/$kelpd_pid/task/$agent_tid/schedstat
[ -r "$schedstat" ] || give_up "no $schedstat"

# Every mail tried once and deferred: one "temporarily failed" line each.
while :; do
  deferred=$(grep -c 'temporarily failed' "$log" || true)
  [ "${deferred:-0}" -ge "$n" ] && break
  kill -0 "$kelpd_pid" 2>/dev/null || give_up "kelpd ended"
  over_limit && give_up "only $deferred of $n mails deferred after $limit_s s"
  sleep 0.5
done
deferred_s=$(elapsed)

# Two scans after the last deferral, then the idle stretch.
sleep 2
run0=$(awk '{print $1}' "$schedstat")
t0=$(date +%s.%N)
if [ -n "${PROFILE:-}" ]; then
  perf record -q -F 2000 -g -t "$agent_tid" -o "$work/perf.data" -- sleep "$window_s" 2>/dev/null
else
  sleep "$window_s"
fi
run1=$(awk '{print $1}' "$schedstat")
t1=$(date +%s.%N)
peak_kb=$(awk '/^VmHWM:/ {print $2}' "/proc/$kelpd_pid/status")
now_kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$kelpd_pid/status")
left=$(find "$work/outgoing" -name '*.eml' | wc -l)
[ "$left" -eq "$n" ] || give_up "$left of $n mails left in the outgoing directory"

# Each cycle is one scan (its CPU time s) and a wait of one second, so the
# agent's CPU time r over a window w is w * s / (1 + s): s = r / (w - r).
awk -v n="$n" -v kb="$peak_kb" -v now="$now_kb" -v r0="$run0" -v r1="$run1" -v t0="$t0" -v t1="$t1" \
  -v d="$deferred_s" 'BEGIN{
  w = t1 - t0; r = (r1 - r0) / 1e9; s = r / (w - r)
  printf "scale-outgoing: %d waiting mails, peak RSS %.1f MiB (now %.1f MiB), scan %.1f ms (agent CPU over %.0f s), deferred in %s s\n",
    n, kb / 1024, now / 1024, s * 1000, w, d }'
if [ -n "${PROFILE:-}" ]; then
  # The share of the kernel, kelpd and the C library first, then the symbols.
  for sort in dso sym; do
    perf report -i "$work/perf.data" --stdio --no-children --sort "$sort" --percent-limit 1.5 -g none 2>/dev/null |
      grep -v '^#' | grep -v '^$' | head -30
  done
fi
