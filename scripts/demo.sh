#!/usr/bin/env bash
# Builds kelpd, lays out a self-contained demo mail tree under ./demo/ and runs
# the delivery agent in the console (debug mode) until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPD_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target kelpd kelpd-submit autoresp.exe

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

export MAILCONFIGDIR=$demo/config
export MAILLOCKDIR=$demo/lock
# kelpd finds autoresp.exe beside itself or on PATH.
export PATH=$top/build/demo/src/companions:$PATH

# Sample mails in the queue, put there by kelpd-submit as the suite's SMTP
# receiver would: one for alice, one for bob through the alias bobby, and one
# with three recipients in a single queue file.
submit() { "$top/build/demo/src/companions/kelpd-submit" -f carol@remote.example "$@"; }
submit alice@demo.example <<'MAIL'
From: Carol <carol@remote.example>
To: Alice <alice@demo.example>
Subject: Welcome

Hello from the demo.
MAIL
submit bobby@demo.example <<'MAIL'
From: Carol <carol@remote.example>
To: <bobby@demo.example>
Subject: Lunch?

Hello from the demo.
MAIL
submit -t <<'MAIL'
From: Carol <carol@remote.example>
To: Alice <alice@demo.example>, Bob <bob@demo.example>
Bcc: postmaster@demo.example
Subject: Team meeting

Three recipients, one queue file; the Bcc line is not passed on.
MAIL

echo "demo tree in $demo; MAILCONFIGDIR=$MAILCONFIGDIR"
echo "running kelpd -debug (process id in $MAILCONFIGDIR/Kelpd.pid); stop it with Ctrl+C"
exec "$top/build/demo/src/app/kelpd" -debug
