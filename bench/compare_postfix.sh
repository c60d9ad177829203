#!/usr/bin/env bash
# kelpd beside Postfix on the same host, interleaved: kelpd's local delivery
# (bench/local_delivery.sh) against Postfix's Maildir delivery, and kelpd's
# remote delivery with 8 threads (THREADS=8 bench/remote_delivery.sh)
# against Postfix relaying to smtp-sink with 8 parallel deliveries and no
# connection caching. Each kind runs kelpd, Postfix, kelpd, Postfix (ROUNDS
# pairs), so that a host whose speed drifts by minutes still gives fair
# ratios; each pair's ratio is printed, then the mean of the ratios.
#
#   bench/compare_postfix.sh [N]        (default 5000 mails per run)
# Environment: ROUNDS (default 2), BUILD_DIR and NO_BUILD=1 (passed on to the
# kelpd benchmarks), LIMIT_S (give up on one Postfix run after, default 600).
#
# Postfix runs as a private instance: its own configuration, queue and
# mailboxes in a temporary directory, SMTP on a loopback port only, stopped
# and removed at the end; the system's instance is left alone. Mail is put
# into its queue while delivery is suspended and timed from the release to
# the last delivery, as kelpd is timed from its start on a filled queue
# (PREFILL=1 bench/local_delivery.sh) or from queued files (remote).
# Local mails have one to three of 100 recipients, as those of
# bench/local_delivery.sh, and the rate counts delivered copies.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
n=${1:-5000}
rounds=${ROUNDS:-2}
limit_s=${LIMIT_S:-600}

source scripts/lib/packages.sh
ensure_packages postfix python3
[ "$(id -u)" = 0 ] || { echo "a private Postfix instance must be started as root" >&2; exit 1; }
postfix_bin=/usr/sbin/postfix
postconf_bin=/usr/sbin/postconf
postqueue_bin=/usr/sbin/postqueue
sink_bin=/usr/sbin/smtp-sink

pf=$(mktemp -d "${TMPDIR:-/tmp}/kelpd-postfix.XXXXXX")
sink_pid=""
master_started=""
cleanup() {
  if [ -n "$master_started" ]; then
    "$postfix_bin" -c "$pf/conf" stop >/dev/null 2>&1 || "$postfix_bin" -c "$pf/conf" abort >/dev/null 2>&1 || true
    # The master leads a process group of its own: nothing of it stays.
    pid=$(cat "$pf/queue/pid/master.pid" 2>/dev/null | tr -d ' ' || true)
    [ -n "$pid" ] && kill -- "-$pid" 2>/dev/null || true
  fi
  [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null && wait "$sink_pid" 2>/dev/null || true
  rm -rf "$pf"
}
trap cleanup EXIT

# A free port below the kernel's range for outgoing connections: thousands of
# client connections of the relay runs would otherwise have taken it (in
# TIME_WAIT) by the time a later run starts its listener there.
free_port() {
  python3 -c '
import random, socket
for _ in range(200):
    p = random.randint(20000, 30000)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
    except OSError:
        continue
    print(p)
    break'
}
wait_port() {
  for _ in $(seq 200); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1',$1),0.2)" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
now() { date +%s.%N; }

# --- the private Postfix instance -------------------------------------------
smtp_port=$(free_port)
sink_port=$(free_port)
mkdir -p "$pf"/{conf,queue,data,mail}
chmod 755 "$pf"
chown postfix "$pf/data"
chmod 700 "$pf/data"
chown nobody:nogroup "$pf/mail"
for ((u = 0; u < 100; u++)); do printf 'user%03d@bench.example user%03d/\n' "$u" "$u"; done >"$pf/conf/vmailbox"
cat >"$pf/conf/main.cf" <<CF
compatibility_level = 3.6
queue_directory = $pf/queue
data_directory = $pf/data
mail_owner = postfix
setgid_group = postdrop
syslog_name = kelpd-bench-postfix
maillog_file = $pf/maillog
maillog_file_prefixes = $pf
myhostname = postfix.bench.example
myorigin = \$myhostname
mydestination =
relay_domains =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
smtpd_tls_security_level = none
virtual_mailbox_domains = bench.example
virtual_mailbox_base = $pf/mail
virtual_mailbox_maps = texthash:$pf/conf/vmailbox
virtual_uid_maps = static:$(id -u nobody)
virtual_gid_maps = static:$(id -g nobody)
relayhost = [127.0.0.1]:$sink_port
smtp_tls_security_level = none
smtp_connection_cache_on_demand = no
default_destination_concurrency_limit = 8
initial_destination_concurrency = 8
smtp_destination_concurrency_limit = 8
defer_transports = virtual smtp
CF
# Nothing is chrooted: a private instance has no copy of /etc in its queue.
cat >"$pf/conf/master.cf" <<CF
127.0.0.1:$smtp_port inet n - n - - smtpd
pickup    unix  n - n 60    1 pickup
cleanup   unix  n - n -     0 cleanup
qmgr      unix  n - n 300   1 qmgr
tlsmgr    unix  - - n 1000? 1 tlsmgr
rewrite   unix  - - n -     - trivial-rewrite
bounce    unix  - - n -     0 bounce
defer     unix  - - n -     0 bounce
trace     unix  - - n -     0 bounce
verify    unix  - - n -     1 verify
flush     unix  n - n 1000? 0 flush
proxymap  unix  - - n -     - proxymap
showq     unix  n - n -     - showq
error     unix  - - n -     - error
retry     unix  - - n -     - error
discard   unix  - - n -     - discard
anvil     unix  - - n -     1 anvil
scache    unix  - - n -     1 scache
postlog   unix-dgram n - n - 1 postlogd
smtp      unix  - - n -     - smtp
relay     unix  - - n -     - smtp
virtual   unix  - n n -     - virtual
CF
# The commands wait until a configuration file is a moment old.
touch -d '1 minute ago' "$pf/conf/main.cf" "$pf/conf/master.cf"
"$postfix_bin" -c "$pf/conf" start >/dev/null 2>&1 || { cat "$pf/maillog" >&2 2>/dev/null; exit 1; }
master_started=1
wait_port "$smtp_port" || { echo "no Postfix on port $smtp_port" >&2; tail -5 "$pf/maillog" >&2; exit 1; }

set_deferred() {
  "$postconf_bin" -c "$pf/conf" -e "defer_transports = $1"
  touch -d '1 minute ago' "$pf/conf/main.cf"
  "$postfix_bin" -c "$pf/conf" reload >/dev/null 2>&1
}
queue_files() { find "$pf/queue/$1" -type f 2>/dev/null | wc -l; }

# inject KIND: N mails over SMTP into the suspended instance; prints the
# number of copies. KIND local: one to three of the 100 mailboxes; relay: one
# remote recipient each.
inject() {
  python3 - "$smtp_port" "$n" "$1" <<'PY'
import random, smtplib, sys
port, n, kind = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rnd = random.Random(1)
body = "".join("".join(chr(97 + (j + i) % 26) for i in range(76)) + "\r\n" for j in range(0, 3800, 78))
copies = 0
s = smtplib.SMTP("127.0.0.1", port, local_hostname="client.remote.example")
for m in range(n):
    if kind == "local":
        to = ["user%03d@bench.example" % u for u in rnd.sample(range(100), rnd.randint(1, 3))]
    else:
        to = ["rcpt%d@remote.example" % m]
    copies += len(to)
    msg = ("From: Sender <sender@remote.example>\r\nTo: %s\r\nSubject: Benchmark mail %d\r\n"
           "Message-ID: <pf%d@remote.example>\r\n\r\n%s") % (", ".join(to), m, m, body)
    s.sendmail("sender@remote.example", to, msg)
s.quit()
print(copies)
PY
}

# postfix_run KIND: prints the rate (copies or mails per second).
postfix_run() {
  local kind=$1 copies start end deadline
  rm -rf "$pf/mail"/user*
  if [ "$kind" = relay ]; then
    "$sink_bin" -c -h sink.bench -u nobody "127.0.0.1:$sink_port" 1024 >"$pf/sink.out" 2>&1 &
    sink_pid=$!
    wait_port "$sink_port" || { echo "no smtp-sink" >&2; exit 1; }
  fi
  copies=$(inject "$kind")
  # Everything queued and suspended before the clock starts.
  deadline=$((SECONDS + limit_s))
  until [ "$(queue_files incoming)" = 0 ] && [ "$(queue_files active)" = 0 ] &&
    [ "$(queue_files deferred)" -ge "$n" ]; do
    ((SECONDS < deadline)) || { echo "Postfix did not queue $n mails" >&2; exit 1; }
    sleep 0.2
  done
  start=$(now)
  set_deferred ""
  "$postqueue_bin" -c "$pf/conf" -f
  while :; do
    if [ "$kind" = relay ]; then
      got=$(tail -c 200 "$pf/sink.out" 2>/dev/null | tr '\r' '\n' | grep -o 'mesg=[0-9]*' | tail -1 | cut -d= -f2 || true)
    else
      got=$(find "$pf/mail" -path '*/new/*' -type f | wc -l)
    fi
    [ "${got:-0}" -ge "$copies" ] && break
    ((SECONDS < deadline)) || { echo "Postfix delivered ${got:-0} of $copies" >&2; tail -3 "$pf/maillog" >&2; exit 1; }
    sleep 0.05
  done
  end=$(now)
  set_deferred "virtual smtp"
  if [ -n "$sink_pid" ]; then
    kill "$sink_pid" 2>/dev/null || true
    wait "$sink_pid" 2>/dev/null || true
    sink_pid=""
  fi
  awk -v c="$copies" -v s="$start" -v e="$end" 'BEGIN{printf "%.0f", c / (e - s)}'
}

# kelpd_run KIND: prints kelpd's rate from its own benchmark's line.
kelpd_run() {
  local line
  if [ "$1" = local ]; then
    line=$(PREFILL=1 bench/local_delivery.sh "$n")
    echo "  $line" >&2
    sed -n 's/.* = \([0-9]*\) copies\/s.*/\1/p' <<<"$line"
  else
    line=$(THREADS=8 bench/remote_delivery.sh "$n")
    echo "  $line" >&2
    sed -n 's/.* = \([0-9]*\) mails\/s.*/\1/p' <<<"$line"
  fi
}

for kind in local relay; do
  ratios=""
  for ((r = 1; r <= rounds; r++)); do
    k=$(kelpd_run "$kind")
    p=$(postfix_run "$kind")
    ratio=$(awk -v k="$k" -v p="$p" 'BEGIN{printf "%.2f", k / p}')
    ratios="$ratios $ratio"
    unit=$([ "$kind" = local ] && echo "copies/s" || echo "mails/s")
    echo "compare $kind round $r: kelpd $k $unit, Postfix $p $unit, ratio $ratio"
  done
  awk -v kind="$kind" -v list="$ratios" 'BEGIN{
    c = split(list, a, " "); s = 0; for (i = 1; i <= c; i++) s += a[i]
    printf "compare %s: kelpd / Postfix = %.2f (mean of %d interleaved pairs)\n", kind, s / c, c }'
done
