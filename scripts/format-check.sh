#!/usr/bin/env bash
# Checks that every C++ file of the project is formatted as .clang-format
# says (clang-format 14); prints the offending places and fails otherwise.
# To fix: the same file list through `clang-format -i`.
set -euo pipefail
cd "$(dirname "$0")/.."

# Build trees are left out.
mapfile -t files < <(find . \( -path './build*' -o -path './.git' \) -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print | sort)

clang-format --dry-run --Werror "${files[@]}"
echo "format check: ${#files[@]} files formatted"
