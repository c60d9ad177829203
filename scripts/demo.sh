#!/usr/bin/env bash
# Builds kelpd, lays out a self-contained demo mail tree under ./demo/ and runs
# the delivery agent in the console (debug mode) until Ctrl+C. Remote mail goes
# through a "*" smarthost entry to Postfix's smtp-sink, which the script starts
# on a loopback port and which accepts and discards every mail.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" postfix

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPD_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target kelpd

demo=$top/demo
mkdir -p "$demo"/{config,lock,queue,spool,error,outgoing,filtered}
for user in alice bob; do
  mkdir -p "$demo/spool/$user"
  [ -f "$demo/spool/$user/config" ] || printf 'NextUID:\t1\n' >"$demo/spool/$user/config"
  touch "$demo/spool/$user/password"
done

cat >"$demo/config/kelpd.cfg" <<CFG
# Demo settings of the delivery agent: every directory lives under ./demo/.
QueueDir:		$demo/queue
SpoolDir:		$demo/spool
ErrorDir:		$demo/error
OutgoingDir:		$demo/outgoing
FilterDir:		$demo/filtered
AutoTransport:		1
AutoTransport.Threads:	2
MaskFile:		$demo/config/masquerade
CFG
printf '# Local domains\ndemo.example\n' >"$demo/config/domains"
printf '# Domains this host is a backup mail exchanger for\n' >"$demo/config/backupdomains"
printf '# Aliases: address or pattern, then target\npostmaster:\talice\nbobby@demo.example:\tbob\n' >"$demo/config/aliases"
printf '# Subjects and body texts that divert a mail to the filter directory\nbuy cheap pills\n' >"$demo/config/filters"
# The remote peer of the demo: smtp-sink on a free loopback port.
sink_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sink_user=()
[ "$(id -u)" -eq 0 ] && sink_user=(-u nobody)
/usr/sbin/smtp-sink -h sink.demo.example "${sink_user[@]}" "127.0.0.1:$sink_port" 64 &
sink_pid=$!
trap 'kill "$sink_pid" 2>/dev/null || true' EXIT
printf '# Smarthost routes: domain pattern, then hosts ([user:password@]host[:port])\n*:\t127.0.0.1:%s\n' \
  "$sink_port" >"$demo/config/smarthosts"
printf '# Masquerading: local sender, then the address shown outside\nalice:\talice@demo.example\n' >"$demo/config/masquerade"

# Two sample mails in the queue, as the suite's SMTP receiver writes them.
write_mail() {
  local name=$1 to=$2 subject=$3
  printf 'X-Envelope-From: carol@remote.example\r\nX-Envelope-To: %s\r\nFrom: Carol <carol@remote.example>\r\nTo: <%s>\r\nSubject: %s\r\nMessage-ID: <%s@remote.example>\r\n\r\nHello from the demo.\r\n' \
    "$to" "$to" "$subject" "$name" >"$demo/queue/$name.eml.tmp"
  mv "$demo/queue/$name.eml.tmp" "$demo/queue/$name.eml"
}
write_mail demo1 alice@demo.example "Welcome"
write_mail demo2 bobby@demo.example "Lunch?"
# A mail for a remote recipient, as the local delivery agent leaves it in the
# outgoing directory: the remote delivery threads send it to the sink.
printf 'X-Envelope-From: alice@demo.example\r\nX-Envelope-To: dave@remote.example\r\nFrom: Alice <alice@demo.example>\r\nTo: <dave@remote.example>\r\nSubject: Hello out there\r\nMessage-ID: <demo3@demo.example>\r\n\r\nSent by the remote delivery threads.\r\n' \
  >"$demo/outgoing/.demo3.tmp"
mv "$demo/outgoing/.demo3.tmp" "$demo/outgoing/demo3.eml"

export MAILCONFIGDIR=$demo/config
export MAILLOCKDIR=$demo/lock
echo "demo tree in $demo; MAILCONFIGDIR=$MAILCONFIGDIR"
echo "remote mail goes to smtp-sink on 127.0.0.1:$sink_port (look for \"successfully delivered\" and the Traffic line)"
echo "running kelpd -debug (process id in $MAILCONFIGDIR/Kelpd.pid); stop it with Ctrl+C"
"$top/build/demo/src/app/kelpd" -debug
