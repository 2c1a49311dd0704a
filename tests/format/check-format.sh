#!/bin/bash
# Fails when a C++ file of the tree differs from what clang-format makes of it with the project's .clang-format, and
# names the files; `clang-format -i FILE` mends one.
set -uo pipefail
repo=${1:?usage: check-format.sh REPO}
cd "$repo" || exit 1
# The tests may run as another user than the checkout's owner, whom git would not trust with the folder; without git,
# every source outside the build folders.
mapfile -t files < <(git -c safe.directory='*' ls-files '*.cpp' '*.h' '*.cpp.in' 2>/dev/null ||
    find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
status=0
for file in "${files[@]}"; do
    if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
        echo "not formatted: $file"
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "${#files[@]} files formatted"
exit $status
