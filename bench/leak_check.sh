#!/usr/bin/env bash
# Delivers many mails (default 10,000; half local, half remote to smtp-sink)
# and compares the service's descriptors and threads before and after.
#   bench/leak_check.sh [deliveries]
source "$(dirname "$0")/lib.sh"
export KELPD_LEAK_DELIVERIES=${1:-10000}
run_integration 'Soak.DescriptorsAndThreads*'
