#!/usr/bin/env bash
# Line coverage of veltonet/ reached by the fuzz corpora: each target's replay program, built
# with clang's source-based coverage in <build>, runs over fuzz/corpus/<target>/; the profiles
# are merged and the covered lines of the library's sources (tests excluded) printed per folder.
# Usage: scripts/fuzz-coverage.sh <build folder> [targets...] (default: every target)
set -euo pipefail
build=${1:?usage: scripts/fuzz-coverage.sh <build folder> [targets...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  read -r -a targets <<<"$(sed -n 's/^set(VELTONET_FUZZ_TARGETS \(.*\))$/\1/p' \
    "$root/fuzz/CMakeLists.txt")"
fi

flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
# The shared library carries every source of the library, so that a folder's total does not
# depend on what the replay programs happen to link.
replays=(veltonet)
for target in "${targets[@]}"; do
  replays+=("fuzz_${target}_replay")
done
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "${replays[@]}" >/dev/null

profiles="$build/coverage-profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
objects=("$build/lib/libveltonet.so")
for target in "${targets[@]}"; do
  program="$build/bin/fuzz_${target}_replay"
  LLVM_PROFILE_FILE="$profiles/$target-%p.profraw" "$program" "$root/fuzz/corpus/$target" \
    >/dev/null 2>&1
  objects+=(-object "$program")
done
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"

# Per file from llvm-cov, summed per folder of veltonet/.
llvm-cov export -summary-only 2>/dev/null -instr-profile="$profiles/merged.profdata" "${objects[@]}" \
  | python3 -c '
import json, os, sys
root = sys.argv[1] + "/veltonet/"
folders = {}
for entry in json.load(sys.stdin)["data"][0]["files"]:
    name = entry["filename"]
    if not name.startswith(root) or name.endswith("_test.cpp"):
        continue
    folder = os.path.dirname(name[len(root):]) or "."
    lines = entry["summary"]["lines"]
    if lines["count"] == 0:
        continue  # a header with no code of its own
    total = folders.setdefault(folder, [0, 0])
    total[0] += lines["covered"]
    total[1] += lines["count"]
print("fuzz coverage of veltonet/ (lines), targets: " + " ".join(sys.argv[2:]))
covered = count = 0
for folder in sorted(folders):
    c, n = folders[folder]
    covered += c
    count += n
    print("  %-22s %6d / %-6d %5.1f%%" % (folder, c, n, 100.0 * c / n if n else 0))
print("  %-22s %6d / %-6d %5.1f%%" % ("all", covered, count, 100.0 * covered / count))
' "$root" "${targets[@]}"
