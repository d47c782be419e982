#!/usr/bin/env bash
# Builds (installing what is missing) and runs every test; then runs the
# process tests of calls, on-air, recording and the web module, and the units
# that go with them, again against the program built with AddressSanitizer
# and UndefinedBehaviorSanitizer (our code and the SIP stack, in
# build-sanitize/), and the process tests of calls, on-air, recording, the
# web module and the page against the program built with ThreadSanitizer
# (in build-tsan/). Both are built one after the other beside the first
# tests, at a lower priority.
# Arguments go to the first ctest and leave the sanitizer stages out:
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

# Our C++ follows .clang-format.
(cd "$top" && git ls-files 'src/*.cpp' 'src/*.h' | xargs clang-format --dry-run --Werror)

sanitized_targets=(zorvane-standalone-memdebug zorvane-standalone-testca calls_unit_test zvaudio_record_test
                   zvtest_flac_faults sipstack_unit_test)
sanitized_tests='^(calls\.|Sessions\.|onair_|record_calls\.|zvaudio_record|webapp_test_|webapp_browser_|JitterBuffer\.|SipParse\.)'
tsan_tests='^(calls\.|Sessions\.|onair_|record_calls\.|zvaudio_record|webapp_test_|webapp_browser_|page\.real\.)'
# sanitizer_build DIR OPTION: the program and the units of the sanitizer
# stages, built with the cmake option into DIR; the output in DIR/build.log.
sanitizer_build() {
  mkdir -p "$1"
  { cmake -S "$top" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo "-D$2=ON" >/dev/null &&
    cmake --build "$1" -j"$jobs" --target "${sanitized_targets[@]}"; } > "$1/build.log" 2>&1
}
sanitizer_builds() {
  renice -n 10 -p "$BASHPID" >/dev/null
  rm -f "$top/build-sanitize/build.log" "$top/build-tsan/build.log"
  sanitizer_build "$top/build-sanitize" ZV_SANITIZE || return 1
  sanitizer_build "$top/build-tsan" ZV_SANITIZE_THREAD
}
if [ $# -eq 0 ]; then
  sanitizer_builds &
  sanitize_pid=$!
fi

# Process tests with real peers and audio servers run many at once; one
# that fails under that load is run once more before it counts. Every test
# that needed that second run is named at the end, so that none hides.
run_ctest() {
  local log status=0
  log=$(mktemp)
  ctest --output-on-failure -j"$jobs" --repeat until-pass:2 \
    --resource-spec-file "$top/tests/jack-resources.json" "$@" 2>&1 | tee "$log" || status=$?
  awk '{
         for (i = 1; i < NF; i++)
           if ($i ~ /^#[0-9]+:$/) {
             if ($0 ~ / Passed /) passed[$(i + 1)] = 1
             else if ($0 ~ /\*\*\*/) failed[$(i + 1)] = 1
           }
       }
       END { for (t in failed) if (t in passed) print "test: " t " passed only on its second try" }' "$log"
  rm -f "$log"
  return $status
}
status=0
(cd "$top/build" && run_ctest "$@") || status=$?
[ $# -eq 0 ] || exit $status

if ! wait "$sanitize_pid"; then
  for dir in build-sanitize build-tsan; do
    if [ -f "$top/$dir/build.log" ]; then
      echo "test: the sanitizer builds failed; the end of $dir/build.log:" >&2
      tail -n 40 "$top/$dir/build.log" >&2
    fi
  done
  exit 1
fi
# A sanitizer's report fails the test that ran into it: the process tests
# look for it in the program's output, and the units end with its exit code.
export ZV_SANITIZED=1
# The recording tests preload a shim of their own ahead of the runtime.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
(cd "$top/build-sanitize" && run_ctest -R "$sanitized_tests") || status=$?
export TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$top/tests/tsan.supp"
(cd "$top/build-tsan" && run_ctest -R "$tsan_tests") || status=$?
exit $status
