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
echo "$((programs - failed)) passed, $failed failed, $skipped skipped (test programs; $tests tests" \
  "in $(($(date +%s) - start)) s)"
[ $failed -eq 0 ]
