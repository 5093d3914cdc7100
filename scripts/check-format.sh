#!/usr/bin/env bash
# Checks that every C++ file in the repository is as clang-format (the project's .clang-format,
# Debian 12's clang-format 14) would write it; lists the files that differ and fails when any
# does. scripts/check-format.sh --fix formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format: clang-format is missing (apt-get install clang-format)"; exit 2; }
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  # Not a git checkout (an unpacked source archive): the project's own folders.
  mapfile -t files < <(find src tools tests bench -name '*.cpp' -o -name '*.h' | sort)
fi
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
differ=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "check-format: ${#differ[@]} file(s) differ from clang-format (scripts/check-format.sh --fix):"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "check-format: ${#files[@]} files as clang-format writes them"
