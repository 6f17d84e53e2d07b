#!/usr/bin/env bash
# Fails when a tracked C or C++ source differs from what the project's .clang-format makes of it.
# Usage: scripts/check-format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${sources[@]}"; then
  echo "format: the files above differ from .clang-format; scripts/check-format.sh --fix rewrites them" >&2
  exit 1
fi
echo "format: ${#sources[@]} files as .clang-format wants them"
