#!/usr/bin/env bash
# Crash safety at full size: 2,000 mails (local, aliased to remote, remote
# through a smarthost to a private MTA, failing) while kelpd is killed with
# SIGKILL at random moments 12 times and stopped once with SIGTERM; then the
# full-disk and dying-peer cases, the long ones included.
#   bench/crash_safety.sh [mails] [kills]
source "$(dirname "$0")/lib.sh"
export KELPD_CRASH_MAILS=${1:-2000}
export KELPD_CRASH_KILLS=${2:-12}
export KELPD_LONG_TESTS=1
run_integration 'CrashSafety.*:FullDisk.*:DyingPeers.*'
