#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test; then runs the
# process tests of calls, on-air, recording and the web module, and the units
# that go with them, again against the program built with AddressSanitizer
# and UndefinedBehaviorSanitizer (our code and the SIP stack, in
# build-sanitize/, built beside the first tests at a lower priority).
# Arguments go to the first ctest and leave the second stage out:
#   scripts/test.sh -R record
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# The run keeps a /dev/shm and System V IPC of its own where it may (as
# root): JACK's registry holds eight servers for the whole machine, and the
# places of servers that another run's killed processes left behind would
# otherwise stay taken; whatever this run leaves there ends with it.
if [ -z "${ZV_TEST_OWN_SHM:-}" ] && [ "$(id -u)" = 0 ] && unshare --mount --ipc true 2>/dev/null; then
  export ZV_TEST_OWN_SHM=1
  exec unshare --mount --ipc --propagation private -- \
    bash -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec bash "$0" "$@"' "$0" "$@"
fi
jobs=$(nproc)
bash "$top/scripts/build.sh"

sanitized_targets=(zorvane-standalone-memdebug zorvane-standalone-testca calls_unit_test zvaudio_record_test
                   zvtest_flac_faults sipstack_unit_test)
sanitized_tests='^(calls\.|Sessions\.|onair_|record_calls\.|zvaudio_record|webapp_test_|webapp_browser_|JitterBuffer\.|SipParse\.)'
sanitize_build() {
  renice -n 10 -p "$BASHPID" >/dev/null
  cmake -S "$top" -B "$top/build-sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_SANITIZE=ON >/dev/null
  cmake --build "$top/build-sanitize" -j"$jobs" --target "${sanitized_targets[@]}"
}
if [ $# -eq 0 ]; then
  mkdir -p "$top/build-sanitize"
  sanitize_build > "$top/build-sanitize/build.log" 2>&1 &
  sanitize_pid=$!
fi

# Process tests with real peers and audio servers run many at once; one
# that fails under that load is run once more before it counts.
run_ctest() {
  ctest --output-on-failure -j"$jobs" --repeat until-pass:2 \
    --resource-spec-file "$top/tests/jack-resources.json" "$@"
}
status=0
(cd "$top/build" && run_ctest "$@") || status=$?
[ $# -eq 0 ] || exit $status

if ! wait "$sanitize_pid"; then
  echo "test: the sanitizer build failed; the end of build-sanitize/build.log:" >&2
  tail -n 40 "$top/build-sanitize/build.log" >&2
  exit 1
fi
# A sanitizer's report fails the test that ran into it: the process tests
# look for it in the program's output, and the units end with its exit code.
export ZV_SANITIZED=1
# The recording tests preload a shim of their own ahead of the runtime.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$top/build-sanitize" && run_ctest -R "$sanitized_tests") || status=$?
exit $status
