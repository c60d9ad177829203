#!/usr/bin/env bash
# Latency of single mails on an idle service: starts "kelpd -debug" with one
# local user and a "*" smarthost entry that routes remote mail to Postfix's
# smtp-sink on a loopback port, then drops single mails into the queue
# directory at random intervals (50..1050 ms after the previous mail is done,
# so that arrivals fall anywhere in a one-second interval), each appearing
# whole by rename, and times
#   local:  queue file renamed in -> its copy stored in the mailbox
#   remote: queue file renamed in -> the sink counted the message
# Then it measures the service's CPU time over an idle period.
#
#   bench/latency.sh [MAILS [IDLE_SECONDS]]    (defaults 100 and 60)
# Environment: KELPD (binary; else BUILD_DIR, default build/bench, is built, or
# used as it is with NO_BUILD=1), THREADS (default 8).
#
# Output:
#   latency local:  N mails, p50 X ms, p90 Y ms, p99 Z ms, max M ms
#   latency remote: N mails, p50 X ms, p90 Y ms, p99 Z ms, max M ms
#   idle cpu: C s over S s = P % of one core
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
source bench/tree.sh
mails=${1:-100}
idle_s=${2:-60}
threads=${THREADS:-8}

sink_bin=$(command -v smtp-sink || echo /usr/sbin/smtp-sink)
[ -x "$sink_bin" ] || { echo "smtp-sink (Debian package postfix) is needed" >&2; exit 1; }

if [ -z "${KELPD:-}" ]; then
  bench_build kelpd
  KELPD=$bench_dir/src/app/kelpd
fi

work=$(mktemp -d /tmp/kelpd-latency.XXXXXX)
trap 'bench_remove "$work"' EXIT
bench_tree "$work" "AutoTransport:	1" "AutoTransport.Threads:	$threads"
mkdir -p "$work/spool/user"
printf 'NextUID:\t1\n' >"$work/spool/user/config"
: >"$work/spool/user/password"

# The driver owns both processes and stops them however it ends.
MAILCONFIGDIR=$work/config MAILLOCKDIR=$work/lock python3 - "$KELPD" "$sink_bin" "$work" \
  "$mails" "$idle_s" <<'PY'
import os, random, socket, subprocess, sys, threading, time

kelpd, sink_bin, work, mails, idle_s = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
queue, mailbox = os.path.join(work, "queue"), os.path.join(work, "spool", "user")
limit_s = 10.0  # one mail that takes longer ends the run

s = socket.socket()
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()
with open(os.path.join(work, "config", "smarthosts"), "w") as f:
    f.write("*:\t127.0.0.1:%d\n" % port)

# smtp-sink -c writes "... mesg=N" with CR after each message; a reader
# thread notes when each count was reached.
sink = subprocess.Popen([sink_bin, "-c", "-h", "sink.bench", "-u", "nobody",
                         "127.0.0.1:%d" % port, "64"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
counted = {}
cond = threading.Condition()
def read_sink():
    buf = b""
    while True:
        chunk = sink.stdout.read1(4096)
        if not chunk:
            return
        buf += chunk
        parts = buf.replace(b"\r", b"\n").split(b"\n")
        buf = parts.pop()
        now = time.monotonic()
        for p in parts:
            i = p.find(b"mesg=")
            if i >= 0:
                n = int(p[i + 5:].split()[0])
                with cond:
                    counted.setdefault(n, now)
                    cond.notify_all()
threading.Thread(target=read_sink, daemon=True).start()
for _ in range(200):
    try:
        socket.create_connection(("127.0.0.1", port), 0.2).close()
        break
    except OSError:
        time.sleep(0.05)

svc = subprocess.Popen([kelpd, "-debug"], stdout=subprocess.DEVNULL,
                       stderr=open(os.path.join(work, "kelpd.err"), "w"))
body = "".join("line %03d %s\r\n" % (i, "x" * 60) for i in range(20))

def drop(n, rcpt):
    text = ("X-Envelope-From: <sender@remote.example>\r\nX-Envelope-To: <%s>\r\n"
            "Message-ID: <lat%d@remote.example>\r\nFrom: <sender@remote.example>\r\n"
            "To: <%s>\r\nSubject: latency %d\r\n\r\n%s") % (rcpt, n, rcpt, n, body)
    tmp = os.path.join(queue, ".lat%d.tmp" % n)
    with open(tmp, "w", newline="") as f:
        f.write(text)
    os.rename(tmp, os.path.join(queue, "lat%06d.eml" % n))
    return time.monotonic()

def stored():
    return sum(1 for e in os.listdir(mailbox) if e.endswith(".eml"))

def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100.0 * (len(v) - 1))))]

def report(kind, values):
    ms = [x * 1000 for x in values]
    print("latency %-7s %d mails, p50 %.1f ms, p90 %.1f ms, p99 %.1f ms, max %.1f ms" %
          (kind + ":", len(ms), percentile(ms, 50), percentile(ms, 90), percentile(ms, 99), max(ms)),
          flush=True)

def cpu_s():
    with open("/proc/%d/stat" % svc.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

try:
    time.sleep(1.5)  # started and idle
    if svc.poll() is not None:
        sys.exit("kelpd ended at start: see " + os.path.join(work, "kelpd.err"))
    local, remote = [], []
    for n in range(mails):
        time.sleep(random.uniform(0.05, 1.05))
        before = stored()
        t0 = drop(n, "user@bench.example")
        while stored() <= before:
            if time.monotonic() - t0 > limit_s:
                sys.exit("local mail %d not stored within %.0f s" % (n, limit_s))
            time.sleep(0.0005)
        local.append(time.monotonic() - t0)
    for n in range(mails):
        time.sleep(random.uniform(0.05, 1.05))
        t0 = drop(mails + n, "rcpt%d@remote.example" % n)
        with cond:
            if not cond.wait_for(lambda: n + 1 in counted, limit_s):
                sys.exit("remote mail %d not counted by the sink within %.0f s" % (n, limit_s))
            remote.append(counted[n + 1] - t0)
    report("local", local)
    report("remote", remote)
    time.sleep(2)  # the last delivery's threads settle
    c0, w0 = cpu_s(), time.monotonic()
    time.sleep(idle_s)
    c1, w1 = cpu_s(), time.monotonic()
    print("idle cpu: %.2f s over %.0f s = %.2f %% of one core" % (c1 - c0, w1 - w0, 100 * (c1 - c0) / (w1 - w0)))
finally:
    for p in (svc, sink):
        if p.poll() is None:
            p.send_signal(2 if p is svc else 15)
            try:
                p.wait(20)
            except subprocess.TimeoutExpired:
                p.kill()
PY
