#!/bin/sh
# Every manual page renders without a single warning, as man(1) shows it.
set -u
status=0
for page in "$@"; do
  out=$(groff -ww -man -z "$page" 2>&1)
  if [ -n "$out" ]; then
    echo "$page: groff: $out"
    status=1
  fi
  if command -v man >/dev/null 2>&1; then
    out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    if [ -n "$out" ]; then
      echo "$page: man: $out"
      status=1
    fi
  fi
done
exit $status
