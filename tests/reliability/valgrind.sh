#!/usr/bin/env bash
# The loopback tests under valgrind's memcheck: any memory error or definite leak fails.
# Usage: tests/reliability/valgrind.sh <build folder without sanitizers>
# Runs every test program of the build (the reliability suite scales its long loops down under
# valgrind) and the fuzz corpora replays.
set -uo pipefail
build=${1:?usage: tests/reliability/valgrind.sh <build folder>}
root=$(cd "$(dirname "$0")/../.." && pwd)
memcheck=(valgrind --tool=memcheck --error-exitcode=99 --leak-check=full
          --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=30 -q)

runs=()
for program in "$build"/bin/*_tests "$build"/bin/frame_c_host; do
  # It injects allocation failures through its own operator new, which valgrind replaces.
  [ "$(basename "$program")" = memory_exhaustion_tests ] && continue
  [ -x "$program" ] && runs+=("$(basename "$program")")
done
for target in receive_path client_requests sequence_receiver ini_file; do
  runs+=("fuzz_${target}_replay $root/fuzz/corpus/$target")
done

failed=()
for run in "${runs[@]}"; do
  read -r program args <<<"$run"
  start=$SECONDS
  log="$build/valgrind-$program.log"
  # shellcheck disable=SC2086
  "${memcheck[@]}" "$build/bin/$program" $args >"$log" 2>&1
  status=$?
  if [ $status -ne 0 ] && [ $status -ne 99 ]; then
    # A test that failed without a memory error: valgrind slows the loopback tests twenty-fold,
    # so give a test that missed a time bound one more run; a memory error (99) never reruns.
    grep -E '^\[  FAILED  \]' "$log" | head -3 | sed 's/^/    first run: /'
    # shellcheck disable=SC2086
    "${memcheck[@]}" "$build/bin/$program" $args >"$log" 2>&1
    status=$?
  fi
  if [ $status -eq 0 ]; then
    printf 'valgrind %-32s clean (%ds)\n' "$program" $((SECONDS - start))
  else
    printf 'valgrind %-32s FAILED (%ds); log: %s\n' "$program" $((SECONDS - start)) \
      "$log"
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|.*definitely lost)|FAILED' \
      "$log" | head -10 | sed 's/^/    /'
    failed+=("$program")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "valgrind: ${#failed[@]} program(s) failed: ${failed[*]}" >&2
  exit 1
fi
