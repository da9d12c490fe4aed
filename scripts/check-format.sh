#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what .clang-format makes of it,
# and names the files. Run `scripts/check-format.sh --fix` to format them.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.inl')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format-14 -i "${files[@]}"
  exit 0
fi
status=0
for file in "${files[@]}"; do
  if ! clang-format-14 --dry-run --Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file" >&2
    status=1
  fi
done
exit "$status"
