#!/usr/bin/env bash
# Builds kelpd, lays out a self-contained demo mail tree under ./demo/ and runs
# the delivery agent in the console (debug mode) until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

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
printf '# Smarthost routes: domain pattern, then hosts\n' >"$demo/config/smarthosts"
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

export MAILCONFIGDIR=$demo/config
export MAILLOCKDIR=$demo/lock
echo "demo tree in $demo; MAILCONFIGDIR=$MAILCONFIGDIR"
echo "running kelpd -debug (process id in $MAILCONFIGDIR/Kelpd.pid); stop it with Ctrl+C"
exec "$top/build/demo/src/app/kelpd" -debug
