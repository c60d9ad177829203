#!/usr/bin/env bash
# Remote delivery throughput: fills the outgoing directory with N mails of
# about 4 KB (one remote recipient each, routed by a "*" smarthost entry to
# Postfix's smtp-sink on a loopback port), runs "kelpd -debug" with 2 and
# with 8 delivery threads, and measures the time until the outgoing
# directory is empty and the sink has counted N messages.
#
#   bench/remote_delivery.sh [N]          (default 10000)
#   THREADS="2 8" bench/remote_delivery.sh 5000
# Environment: BUILD_DIR (default build/bench), KELPD (a kelpd to run instead
# of building one), NO_BUILD=1 (run the kelpd in BUILD_DIR as it is).
#
# One line per thread count:
#   remote-delivery: N mails, T threads in S s = X mails/s, peak RSS M MiB
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
n=${1:-10000}
threads_list=${THREADS:-"2 8"}
limit_s=${LIMIT_S:-600}

sink_bin=$(command -v smtp-sink || echo /usr/sbin/smtp-sink)
[ -x "$sink_bin" ] || { echo "smtp-sink (Debian package postfix) is needed" >&2; exit 1; }

source "$top/bench/tree.sh"
if [ -z "${KELPD:-}" ]; then
  bench_build kelpd
  KELPD=$bench_dir/src/app/kelpd
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelpd-bench.XXXXXX")
sink_pid=""
kelpd_pid=""
cleanup() {
  [ -n "$kelpd_pid" ] && kill -INT "$kelpd_pid" 2>/dev/null && wait "$kelpd_pid" 2>/dev/null || true
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null || true
  bench_remove "$work"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# A 4 KB body of printable lines, the same for every mail.
body=$(python3 -c 'print("\r\n".join(("line %03d " % i) + "x" * 60 for i in range(58)), end="")')

fill_outgoing() {
  local dir=$1
  python3 - "$dir" "$n" "$body" <<'PY'
import os, sys
d, n, body = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for i in range(n):
    text = ("X-Envelope-From: <sender@bench.example>\r\n"
            "X-Envelope-To: <rcpt%d@remote.example>\r\n"
            "Message-ID: <bench%d@bench.example>\r\n"
            "From: <sender@bench.example>\r\nTo: <rcpt%d@remote.example>\r\n"
            "Subject: bench %d\r\n\r\n%s\r\n") % (i, i, i, i, body)
    tmp = os.path.join(d, ".m%d.tmp" % i)
    with open(tmp, "w", newline="") as f:
        f.write(text)
    os.rename(tmp, os.path.join(d, "m%06d.eml" % i))
PY
}

sink_count() {
  # smtp-sink -c writes "sess=.. quit=.. mesg=N" separated by CR.
  tail -c 200 "$1" 2>/dev/null | tr '\r' '\n' | grep -o 'mesg=[0-9]*' | tail -1 | cut -d= -f2
}

for threads in $threads_list; do
  run=$work/t$threads
  bench_tree "$run" "AutoTransport:	1" "AutoTransport.Threads:	$threads" "TrafficLogging:	1"
  port=$(free_port)
  "$sink_bin" -c -h sink.bench -u nobody "127.0.0.1:$port" 1024 >"$run/sink.out" 2>&1 &
  sink_pid=$!
  for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$port),0.2)" 2>/dev/null && break
    sleep 0.05
  done

  printf '*:\t127.0.0.1:%s\n' "$port" >"$run/config/smarthosts"
  fill_outgoing "$run/outgoing"

  start=$(date +%s.%N)
  MAILCONFIGDIR=$run/config MAILLOCKDIR=$run/lock "$KELPD" -debug >/dev/null 2>"$run/kelpd.err" &
  kelpd_pid=$!
  peak_kb=0
  done_ok=0
  while :; do
    rss=$(awk '/VmHWM/ {print $2}' "/proc/$kelpd_pid/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$peak_kb" ] && peak_kb=$rss
    count=$(sink_count "$run/sink.out")
    if [ "${count:-0}" -ge "$n" ] && [ -z "$(find "$run/outgoing" -name '*.eml' -print -quit)" ]; then
      done_ok=1
      break
    fi
    kill -0 "$kelpd_pid" 2>/dev/null || break
    now=$(date +%s.%N)
    if awk -v s="$start" -v t="$now" -v l="$limit_s" 'BEGIN{exit !(t - s > l)}'; then break; fi
    sleep 0.05
  done
  end=$(date +%s.%N)
  # CPU time of the service and of the sink (clock ticks), for the report below.
  kelpd_ticks=$(awk '{print $14 + $15}' "/proc/$kelpd_pid/stat" 2>/dev/null || echo 0)
  sink_ticks=$(awk '{print $14 + $15}' "/proc/$sink_pid/stat" 2>/dev/null || echo 0)
  rss=$(awk '/VmHWM/ {print $2}' "/proc/$kelpd_pid/status" 2>/dev/null || echo 0)
  [ "${rss:-0}" -gt "$peak_kb" ] && peak_kb=$rss
  kill -INT "$kelpd_pid" 2>/dev/null || true
  wait "$kelpd_pid" 2>/dev/null || true
  kelpd_pid=""
  kill "$sink_pid" 2>/dev/null || true
  wait "$sink_pid" 2>/dev/null || true
  sink_pid=""
  if [ "$done_ok" != 1 ]; then
    echo "remote-delivery: $threads threads did not finish: $(sink_count "$run/sink.out") of $n mails counted, $(find "$run/outgoing" -name '*.eml' | wc -l) left" >&2
    tail -5 "$run/kelpd.err" >&2
    exit 1
  fi
  awk -v n="$n" -v t="$threads" -v s="$start" -v e="$end" -v kb="$peak_kb" 'BEGIN{
    d = e - s; printf "remote-delivery: %d mails, %d threads in %.2f s = %.0f mails/s, peak RSS %.1f MiB\n", n, t, d, n / d, kb / 1024 }'
  if [ -n "${VERBOSE:-}" ]; then
    hz=$(getconf CLK_TCK)
    awk -v n="$n" -v k="$kelpd_ticks" -v sk="$sink_ticks" -v hz="$hz" -v s="$start" -v e="$end" 'BEGIN{
      printf "  cpu: kelpd %.2f s (%.0f us/mail), smtp-sink %.2f s (%.0f us/mail), wall %.2f s\n",
        k / hz, k / hz / n * 1e6, sk / hz, sk / hz / n * 1e6, e - s }' >&2
    uptime >&2
  fi
  bench_remove "$run"
done
