#!/bin/sh
# onarrival.cmd: the new-mail script of the mail delivery agent.
#
# The agent runs this file, when it exists in a directory, after it has put a
# mail there. It is started directly (never through a shell), so it needs
# this first line and the executable bit (chmod 755 onarrival.cmd).
#
# What it gets:
#   $1                the mail file just stored, as a full path: a mailbox file
#                     such as /var/spool/zelvane/spool/alice/7.eml, a copy in the
#                     outgoing directory, or a mail in the filter directory.
#                     Empty on the hourly run in the outgoing directory
#                     (HourlyCleanup 1 with AutoTransport 0).
#   working directory the directory the mail was put in (the mailbox, the
#                     outgoing or the filter directory).
#   standard input    /dev/null; standard error goes where the agent's goes
#                     (the journal when it runs as a service).
#   environment       the agent's, MAILCONFIGDIR included.
# With Scripts.Execution.Parallel 0 the agent waits for the script (and, for a
# mailbox, keeps the account locked meanwhile); otherwise it does not wait.
# Its exit code is not looked at. Treat the file's content as untrusted: never
# evaluate text taken from a mail.
set -u

mail=${1-}
dir=$(pwd)

if [ -z "$mail" ]; then
  message="hourly run in $dir"
else
  size=$(wc -c <"$mail" 2>/dev/null || echo '?')
  message="new mail $mail ($size bytes) in $dir"
fi

if command -v logger >/dev/null 2>&1; then
  logger -t onarrival -p mail.info -- "$message"
else
  printf 'onarrival: %s\n' "$message" >&2
fi
exit 0
