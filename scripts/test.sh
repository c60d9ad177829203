#!/usr/bin/env bash
# Installs what the build and the tests need, builds the plain and the
# sanitizer (ASan+UBSan) builds with warnings as errors and runs every test in
# both, then a ThreadSanitizer build that runs the tests with threads in them
# (the unit suites named in TSAN_UNIT_TESTS and every integration test, which
# run the real service), then the fuzzers for a short time. Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=$(nproc)
status=0
# The unit test suites that start threads or processes, or that share objects
# between threads; keep it up to date when such a suite is added.
TSAN_UNIT_TESTS='^(CThread|ArrivalWatch|CService|CFileChangeMonitorEx|CChangeNotification|CLog|CSyslog|CConsoleLogTarget|CStorableMap|CStorableList|CConfigMap|CThreadSafeMap|FileLockTest|ChildProcess|CrashReporter|CrashSignals|ResSend|ResQuery|ResSearch|Getmxrr|CSyncSocketEx|SmtpClient[A-Za-z]*|CSMTPClient[A-Za-z]*|Lifecycle[A-Za-z]*|DirectoryData[A-Za-z]*|MailHelpers[A-Za-z]*|LocalAgent[A-Za-z]*|MailboxStore[A-Za-z]*|RemoteAgent[A-Za-z]*|SMTPDeliveryThread[A-Za-z]*|DeliveryThread[A-Za-z]*|Autoresp[A-Za-z]*|Submit[A-Za-z]*)\.'

build() {
  local dir=$1
  shift
  echo "=== build $dir ==="
  cmake -S . -B "$dir" -G Ninja -DKELPD_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
# run_tests DIR [CTEST-SELECTION...]
run_tests() {
  local dir=$1
  shift
  echo "=== tests $dir $* ==="
  if ! (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@"); then
    status=1
  fi
}
run_build() {
  build "$@"
  run_tests "$1"
}

run_build build/plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The sanitizer runs take a smaller huge body and fewer recipients in the
# hostile-input test: every byte is slow there, and the plain run has the
# full sizes.
export KELPD_HOSTILE_BODY_MB=4 KELPD_HOSTILE_RECIPIENTS=2000 KELPD_HOSTILE_MANY_RECIPIENTS=20000
run_build build/asan -DCMAKE_BUILD_TYPE=Debug -DKELPD_SANITIZE=ON

# ThreadSanitizer: a reported race fails the test (exit code 66); the
# service itself runs under it in the integration tests.
export TSAN_OPTIONS=halt_on_error=0:second_deadlock_stack=1:exitcode=66
build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPD_TSAN=ON
run_tests build/tsan -L unit -R "$TSAN_UNIT_TESTS"
run_tests build/tsan -L integration

echo "=== fuzzers ==="
if ! ./scripts/fuzz.sh "${KELPD_FUZZ_SECONDS:-30}"; then
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "tests FAILED"
else
  echo "all tests passed (plain, address and thread sanitizer builds, fuzzers)"
fi
exit "$status"
