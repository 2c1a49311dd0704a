#!/bin/bash
# Makes zip archives with real zip tools, afresh each run, beside the trees they were made from:
#   tree/        plain names: text, a compressible file, binary data, an empty file, an empty directory
#   tree-utf8/   the same plus a file whose name is not ASCII
#   stream/-     what Info-ZIP read from a pipe
# pipefail: a tool that fails inside a pipe fails the fixture.
set -euo pipefail
out=$1
# The tools read and store file names through the locale.
export LC_ALL=C.UTF-8
rm -rf "$out"
mkdir -p "$out/tree/sub/deeper" "$out/stream"
cd "$out"
printf 'Vorlance libraries\r\n' > tree/readme.txt
seq 1 3000 > tree/numbers.txt
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + i // 256) % 256 for i in range(5000)))' \
    > tree/sub/data.bin
: > tree/sub/empty.txt
cp -R tree tree-utf8
printf 'not ascii\n' > 'tree-utf8/über €.txt'
seq 1 2000 > stream/-

python3 - <<'PYTHON'
import os, zipfile
for name, tree, method in (('python-deflated.zip', 'tree-utf8', zipfile.ZIP_DEFLATED),
                           ('python-stored.zip', 'tree', zipfile.ZIP_STORED)):
    with zipfile.ZipFile(name, 'w', method) as archive:
        for folder, folders, files in os.walk(tree):
            folders.sort()
            for entry in sorted(folders) + sorted(files):
                path = os.path.join(folder, entry)
                archive.write(path, os.path.relpath(path, tree))
PYTHON

(cd tree && zip -q -r -X ../infozip.zip .)
(cd tree && zip -q -r -X -fz ../infozip-zip64.zip .)
# Written to a pipe, zip cannot seek back: sizes and CRC follow the data in a descriptor. (Into a file it would seek:
# the pipe through cat is what makes the layout; pipefail keeps a failing zip from hiding behind it.)
zip -q - - < stream/- | cat > infozip-stream.zip

(cd tree-utf8 && 7z a -tzip -bd ../7z.zip . > /dev/null)
(cd tree && 7z a -tzip -mm=BZip2 -bd ../7z-bzip2.zip numbers.txt > /dev/null)

# Named one by one: archiving "." would store every name behind "./".
(cd tree-utf8 && bsdtar --format zip -cf ../bsdtar.zip -- *)
