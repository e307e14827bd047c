#!/usr/bin/env bash
# Runs Windows programs of a build folder under wine64, headless, with one wine server kept
# up for the whole run and stopped at the end. The wine prefix lives in the build folder.
# Usage: run-windows-tests.sh BUILD                 every program listed in BUILD/test-programs.txt
#        run-windows-tests.sh BUILD --run PROGRAM [ARGUMENTS...]   one program, output shown
# Output of each program goes to BUILD/test-output/<program>.log (never read from a pipe:
# wine's helper processes keep the standard output open).
set -euo pipefail
build=$(cd "$1" && pwd)
shift

export WINEPREFIX=$build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINESERVER=$wineserver

mkdir -p "$WINEPREFIX"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init </dev/null >"$build/wineboot.log" 2>&1 || true
  "$wineserver" -w  # the new prefix is written out before programs run in it
fi
"$wineserver" -p

out=$build/test-output
mkdir -p "$out"

if [ "${1:-}" = "--run" ]; then
  program=$2
  shift 2
  log=$out/$(basename "$program").log
  status=0
  "$wine" "$build/bin/$program" "$@" </dev/null >"$log" 2>&1 || status=$?
  cat "$log"
  exit $status
fi

failed=0
programs=0
tests=0
skipped=0
start=$(date +%s)
while read -r program; do
  [ -n "$program" ] || continue
  programs=$((programs + 1))
  log=$out/$program.log
  status=0
  "$wine" "$build/bin/$program" </dev/null >"$log" 2>&1 || status=$?
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -n1)
  skips=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?,.*/\1/p' "$log" | tail -n1)
  tests=$((tests + ${ran:-0}))
  skipped=$((skipped + ${skips:-0}))
  if [ $status -ne 0 ]; then
    failed=$((failed + 1))
    echo "FAILED: $program (exit $status)"
    grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -n 20 || true
  else
    echo "passed: $program (${ran:-1} tests)"
  fi
done <"$build/test-programs.txt"

# Multicast stays inside a private network namespace, which a Windows program cannot make: the
# cases that need one are skipped above, saying so, and run again here inside one (lo up,
# 224.0.0.0/4 routed to it) with a wine server of its own there, since the server makes the
# sockets. Needs root, as the Linux tests do.
rerun=0
rerun_failed=0
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  while read -r program; do
    [ -n "$program" ] || continue
    cases=$(awk '/the Windows test runner runs it again inside one/ { want = 1; next }
                 want && /^\[  SKIPPED \]/ { print $4; want = 0 }' "$out/$program.log" | paste -sd: -)
    [ -n "$cases" ] || continue
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -w
    log=$out/$program.private-network.log
    status=0
    timeout 300 unshare -n /bin/sh -c '
      ip link set lo up && ip route add 224.0.0.0/4 dev lo || exit 1
      VELTONET_PRIVATE_NETWORK=1 VELTO_PRIVATE_NETWORK=1 "$0" "$1" --gtest_filter="$2" \
        </dev/null >"$3" 2>&1
      status=$?
      "$4" -k >/dev/null 2>&1; "$4" -w
      exit $status' "$wine" "$build/bin/$program" "$cases" "$log" "$wineserver" || status=$?
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -n1)
    rerun=$((rerun + ${ran:-0}))
    if [ $status -ne 0 ]; then
      rerun_failed=$((rerun_failed + 1))
      echo "FAILED: $program in a private network namespace (exit $status)"
      grep -E '^\[  FAILED  \]|Failure|error' "$log" | head -n 20 || true
    else
      echo "passed: $program in a private network namespace (${ran:-0} tests: ${cases//:/, })"
    fi
  done <"$build/test-programs.txt"
elif grep -qs 'the Windows test runner runs it again inside one' "$out"/*.log; then
  echo "not run again: the skipped multicast tests (a private network namespace needs root)"
fi
echo "$((programs - failed)) passed, $failed failed, $skipped skipped (test programs; $tests tests" \
  "in $(($(date +%s) - start)) s; $rerun skipped multicast tests run again in a private network" \
  "namespace)"
[ $failed -eq 0 ] && [ $rerun_failed -eq 0 ]
