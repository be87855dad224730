#!/usr/bin/env bash
# Format and static checks: every C++ file as .clang-format says, and
# clang-tidy's checks (.clang-tidy) clean on the engine and the platform layer.
#   scripts/check-style.sh [BUILD_DIR]   (default build/default; needs its
#                                         compile_commands.json)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
echo "=== clang-format: ${#sources[@]} files"
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "check-style: run clang-format -i on the files above" >&2
  exit 1
fi

if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-style: $build/compile_commands.json is missing; configure that build first" >&2
  exit 1
fi
mapfile -t tidy < <(git ls-files 'libquarn/*.cpp' 'platform/*.cpp')
echo "=== clang-tidy: ${#tidy[@]} files"
run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${tidy[@]/#/$PWD/}" >"$build/clang-tidy.log" 2>&1 ||
  { grep -E 'warning:|error:' "$build/clang-tidy.log" >&2 || cat "$build/clang-tidy.log" >&2; exit 1; }
echo "check-style: clean"
