#!/usr/bin/env bash
# The engine's library exports exactly the entry points its version script
# names, whatever it links inside (libcurl, OpenSSL, libxml2 ...).
#   exports_test.sh LIBRARY VERSION_SCRIPT
set -euo pipefail
library=$1 script=$2
command -v nm >/dev/null || { echo "exports_test: nm is missing" >&2; exit 1; }

# The names between "global:" and "local:", one a line.
expected=$(sed -n '/global:/,/local:/p' "$script" | sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' | sort)
[ "$(wc -l <<<"$expected")" -ge 1 ] || { echo "exports_test: no names in $script" >&2; exit 1; }
# Defined dynamic symbols other than the version nodes (type A).
actual=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exports_test: $library exports other names than $script:" >&2
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  exit 1
fi
echo "exports_test: $(wc -l <<<"$actual") entry points, as $script names them"
