#!/bin/bash
# Fails when a C++ file of the tree differs from what clang-format makes of it with the project's .clang-format, and
# names the files; `clang-format -i FILE` mends one.
set -uo pipefail
repo=${1:?usage: check-format.sh REPO}
cd "$repo" || exit 1
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cpp.in' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
status=0
for file in "${files[@]}"; do
    if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "not formatted: $file"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "${#files[@]} files formatted"
exit $status
