#!/usr/bin/env bash
# The hostile-input system tests with the full-size huge body (default 200 MB).
#   bench/hostile.sh [body-megabytes]
source "$(dirname "$0")/lib.sh"
export KELPD_HOSTILE_BODY_MB=${1:-200}
run_integration 'HostileInput.*'
