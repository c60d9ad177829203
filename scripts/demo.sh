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
cmake --build build/demo -j "$(nproc)" --target kelpd kelpd-submit autoresp.exe

demo=$top/demo
mkdir -p "$demo"/{config,lock,queue,spool,error,outgoing,filtered}
for user in alice bob; do
  mkdir -p "$demo/spool/$user"
  [ -f "$demo/spool/$user/config" ] || printf 'NextUID:\t1\n' >"$demo/spool/$user/config"
  touch "$demo/spool/$user/password"
done
# bob is away: his mailbox answers each sender once a day from a template.
printf 'NextUID:\t1\nRunReply:\t1\nRunReplyTemplate:\treply.txt\n' >"$demo/spool/bob/config"
printf 'Subject: Out of office\n\nBob is away this week and reads his mail on Monday.\n' \
  >"$demo/spool/bob/reply.txt"
rm -f "$demo/spool/bob/autoresp.sent"

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
# Demo only: retry at once and give a failed mail up at its next attempt, so
# that its failure notice reaches the sender within seconds.
AutoTransRetry:		0
AutoTransTime:		0
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
# Mail for unreachable.example goes to a port where nothing listens.
printf '# Smarthost routes: domain pattern, then hosts ([user:password@]host[:port])\n*:\t127.0.0.1:%s\nunreachable.example:\t127.0.0.1:1\n' \
  "$sink_port" >"$demo/config/smarthosts"
printf '# Masquerading: local sender, then the address shown outside\nalice:\talice@demo.example\n' >"$demo/config/masquerade"

export MAILCONFIGDIR=$demo/config
export MAILLOCKDIR=$demo/lock
# kelpd finds autoresp.exe beside itself or on PATH.
export PATH=$top/build/demo/src/companions:$PATH

# Sample mails in the queue, put there by kelpd-submit as the suite's SMTP
# receiver would: one for alice, one for bob through the alias bobby, and one
# with three recipients in a single queue file.
submit_from() { "$top/build/demo/src/companions/kelpd-submit" -f "$@"; }
submit() { submit_from carol@remote.example "$@"; }
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
# A remote recipient: the local agent writes it into the outgoing directory and
# a remote delivery thread sends it through the "*" smarthost route to the sink.
submit_from alice@demo.example dave@remote.example <<'MAIL'
From: Alice <alice@demo.example>
To: <dave@remote.example>
Subject: Hello out there

Sent by the remote delivery threads.
MAIL
# A mail that can't be delivered: it is given up and autoresp.exe returns it
# to alice with its failure report, as a notice in her mailbox.
submit_from alice@demo.example erin@unreachable.example <<'MAIL'
From: Alice <alice@demo.example>
To: <erin@unreachable.example>
Subject: Are you there?

Nobody listens at this address.
MAIL

echo "demo tree in $demo; MAILCONFIGDIR=$MAILCONFIGDIR"
echo "remote mail goes to smtp-sink on 127.0.0.1:$sink_port (look for \"successfully delivered\" and the Traffic line)"
echo "the mail to erin@unreachable.example is given up; its notice lands in $demo/spool/alice"
echo "bob's auto-reply to carol goes out through the sink"
echo "running kelpd -debug (process id in $MAILCONFIGDIR/Kelpd.pid); stop it with Ctrl+C"
"$top/build/demo/src/app/kelpd" -debug
