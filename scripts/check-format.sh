#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says.
#   scripts/check-format.sh         check (what CI runs)
#   scripts/check-format.sh --fix   format them in place
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || scripts/install-deps.sh
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
fi
