#!/usr/bin/env bash
# Formats the repository's C++ sources with .clang-format, or with --check
# lists the files that differ from it (exit 1 if any) without touching them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode="${1:-fix}"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' '*.cc')
[ ${#files[@]} -gt 0 ] || exit 0
if [ "$mode" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    if ! diff -q <(clang-format "$f") "$f" >/dev/null; then
      bad+=("$f")
    fi
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'not formatted: %s\n' "${bad[@]}"
    exit 1
  fi
  echo "all ${#files[@]} files formatted"
else
  clang-format -i "${files[@]}"
fi
