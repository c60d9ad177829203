#!/usr/bin/env bash
# Runs the whole service under mixed load for a while (default 600 s) with list
# reloads, configuration restarts (SIGHUP) and pauses (SIGUSR1/SIGUSR2), and
# prints throughput, peak RSS, descriptors, threads and the final places.
#   bench/soak.sh [seconds]
source "$(dirname "$0")/lib.sh"
export KELPD_SOAK_SECONDS=${1:-600}
run_integration 'Soak.MixedLoad*'
