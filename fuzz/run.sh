#!/usr/bin/env bash
# Runs every libFuzzer target of a VELTONET_FUZZ build for a set time, over the seeds in
# fuzz/corpus/<target>/ plus what earlier runs found (kept in <build>/fuzz-corpus/<target>/,
# never written back to the repository). Crashes land in <build>/fuzz-artifacts/.
# Usage: fuzz/run.sh <build folder> [seconds per target, default 60]
set -uo pipefail
build=${1:?usage: fuzz/run.sh <build folder> [seconds]}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
targets=(receive_path client_requests sequence_receiver ini_file host_and_peers)
declare -A options=(
  [receive_path]="-max_len=8192"  # messages up to 65535 bytes come from runs in built streams
  [client_requests]=""
  [sequence_receiver]=""
  [ini_file]="-max_len=1024"
  [host_and_peers]="-max_len=512"
)

mkdir -p "$build/fuzz-artifacts"
failed=()
for target in "${targets[@]}"; do
  program="$build/bin/fuzz_$target"
  work="$build/fuzz-corpus/$target"
  log="$build/fuzz-artifacts/$target.log"
  mkdir -p "$work"
  # shellcheck disable=SC2086
  "$program" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$target-" ${options[$target]} \
    "$work" "$here/corpus/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  if [ $status -eq 0 ]; then
    printf 'fuzz %-18s %10s executions in %ss (%s/s), %s new inputs, peak %s MB\n' \
      "$target" "${runs:-?}" "$seconds" "${rate:-?}" "${added:-?}" "${rss:-?}"
  else
    printf 'fuzz %-18s FAILED (exit %d) after %s executions; log: %s\n' \
      "$target" "$status" "${runs:-?}" "$log"
    grep -E 'invariant broken|ERROR:|SUMMARY:|Test unit written' "$log" | head -8 | sed 's/^/    /'
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: ${#failed[@]} target(s) failed: ${failed[*]}" >&2
  exit 1
fi
