#!/usr/bin/env python3
"""The next release of the benchmark's library folder, and what fetching only its changes costs at best.

  make_release.py change OLD_LIB NEW_LIB one|tenth CHANGED_LIST
      NEW_LIB becomes OLD_LIB with some files changed: "one", a single library of about 120 kB in plugins/ (a
      typical fix); "tenth", every tenth file in path order. Unchanged files are hard links to OLD_LIB's; a changed
      file is a new file (never written through a link) with 4 KiB in its middle replaced, so its size stays and
      its deflated bytes differ. CHANGED_LIST gets one "lib/PATH" line per changed file.
  make_release.py cost PACKAGE CHANGED_LIST
      prints entries=N, entry_bytes=B (what the changed entries take in PACKAGE: local header, name, extra field and
      data, up to the next entry) and directory_bytes=D (the central directory and the end records): the bytes a
      patch of those entries cannot do without.

Always the same bytes for the same folders.
"""
import os
import random
import shutil
import sys
import zipfile

SEED = 20261208
CHANGED_BYTES = 4096
ONE_FILE_TARGET_BYTES = 120000


def files_below(folder):
    found = []
    for root, _, names in os.walk(folder):
        for name in names:
            found.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    return sorted(found)


def choose(old_lib, files, which):
    if which == "one":
        plugins = [f for f in files if f.startswith("plugins/")]
        return [min(plugins, key=lambda f: abs(os.path.getsize(os.path.join(old_lib, f)) - ONE_FILE_TARGET_BYTES))]
    if which == "tenth":
        return files[5::10]
    sys.exit("make_release.py: choose one or tenth, not %s" % which)


def change(old_lib, new_lib, which, changed_list):
    files = files_below(old_lib)
    chosen = choose(old_lib, files, which)
    rng = random.Random(SEED)
    if os.path.exists(new_lib):
        shutil.rmtree(new_lib)
    for name in files:
        source = os.path.join(old_lib, name)
        target = os.path.join(new_lib, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if name not in chosen:
            os.link(source, target)
            continue
        with open(source, "rb") as f:
            data = bytearray(f.read())
        middle = max(0, len(data) // 2 - CHANGED_BYTES // 2)
        data[middle:middle + CHANGED_BYTES] = rng.randbytes(len(data[middle:middle + CHANGED_BYTES]))
        with open(target, "wb") as f:
            f.write(data)
    with open(changed_list, "w", encoding="utf-8") as out:
        for name in chosen:
            out.write("lib/%s\n" % name)


def cost(package, changed_list):
    with open(changed_list, encoding="utf-8") as f:
        changed = {line.strip()[len("lib/"):] for line in f if line.strip()}
    size = os.path.getsize(package)
    with zipfile.ZipFile(package) as archive:
        entries = sorted(archive.infolist(), key=lambda info: info.header_offset)
        directory_start = archive.start_dir
    found = 0
    entry_bytes = 0
    for i, info in enumerate(entries):
        if info.filename not in changed:
            continue
        end = entries[i + 1].header_offset if i + 1 < len(entries) else directory_start
        entry_bytes += end - info.header_offset
        found += 1
    if found != len(changed):
        sys.exit("make_release.py: %s holds %d of the %d changed files" % (package, found, len(changed)))
    print("entries=%d\nentry_bytes=%d\ndirectory_bytes=%d" % (found, entry_bytes, size - directory_start))


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "change":
        change(*sys.argv[2:])
    elif len(sys.argv) == 4 and sys.argv[1] == "cost":
        cost(*sys.argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
