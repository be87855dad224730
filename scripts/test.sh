#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs what is missing, then builds
# and runs every suite in the default build, and again under AddressSanitizer
# (+UBSan) and ThreadSanitizer.
#   scripts/test.sh              all three builds
#   scripts/test.sh default      only the named presets
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

jobs=$(nproc)
failed=()
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = default ] && ! bash scripts/check-style.sh build/default; then
    failed+=("style")
  fi
  echo "=== ${preset}: tests"
  if ! ctest --preset "$preset" -j "$jobs"; then
    failed+=("$preset")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "test.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all suites passed in: ${presets[*]}"
