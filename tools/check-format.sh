#!/bin/bash
# Fails, naming the files, when a C++ source differs from what .clang-format
# makes of it. `git ls-files '*.cpp' '*.h' | xargs clang-format -i` lays them out.
set -euo pipefail
cd "$(dirname "$0")/.."
bad=()
while IFS= read -r file; do
    clang-format --dry-run --Werror "$file" > /dev/null 2>&1 || bad+=("$file")
done < <(git ls-files '*.cpp' '*.h')
if [ ${#bad[@]} -gt 0 ]; then
    echo "check-format: not laid out by .clang-format (clang-format -i fixes them): ${bad[*]}" >&2
    exit 1
fi
echo "check-format: every C++ source is laid out by .clang-format"
