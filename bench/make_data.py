#!/usr/bin/env python3
"""Makes the archives that bench/run extracts and serves, always the same bytes for the same script.

  make_data.py OUT_DIR

lib.zip   a realistic library package: 300 files, about 200 MB, in a few folders; DLL-like (half compressible),
          text and already-compressed media files (stored, as zip tools store what deflate cannot shrink); the
          "bass*.dll" libraries lie at the top so that the updater copies them beside the game.
many.zip  a package of 20000 small files (200 B to 32 KiB) in 50 folders of 400, with directory entries.
*.manifest  "SIZE<TAB>stored|deflated<TAB>path" for every file entry of the archive, in archive order: what the bare
          write loop writes.
"""
import os
import random
import sys
import zipfile

SEED = 20240611
DATE_TIME = (2024, 6, 11, 12, 0, 0)


def make_text_pool(rng, size):
    words = []
    for _ in range(400):
        words.append("".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(3, 11))))
    parts = []
    total = 0
    while total < size:
        line = ", ".join('"%s": "%s"' % (rng.choice(words), rng.choice(words)) for _ in range(rng.randint(2, 6)))
        line = '{"id": %d, "%s": %d, %s},\n' % (rng.randint(0, 99999), rng.choice(words), rng.randint(0, 999), line)
        parts.append(line)
        total += len(line)
    return "".join(parts).encode("ascii")[:size]


class Contents:
    def __init__(self, rng):
        self.rng = rng
        self.pool = make_text_pool(rng, 4 << 20)

    def text(self, size):
        out = bytearray()
        while len(out) < size:
            start = self.rng.randrange(0, len(self.pool) - 65536)
            out += self.pool[start:start + self.rng.randint(4096, 65536)]
        return bytes(out[:size])

    def media(self, size):
        return self.rng.randbytes(size)

    def library(self, size):
        # Code and data sections: some random, some text-like tables, some zero padding.
        out = bytearray()
        while len(out) < size:
            kind = self.rng.random()
            length = self.rng.randint(512, 4096)
            if kind < 0.5:
                out += self.rng.randbytes(length)
            elif kind < 0.85:
                start = self.rng.randrange(0, len(self.pool) - length)
                out += self.pool[start:start + length]
            else:
                out += bytes(length)
        return bytes(out[:size])


def add_directory(archive, name):
    info = zipfile.ZipInfo(name, DATE_TIME)
    info.external_attr = (0o40755 << 16) | 0x10
    archive.writestr(info, b"")


def add_file(archive, manifest, name, data, stored):
    info = zipfile.ZipInfo(name, DATE_TIME)
    info.external_attr = 0o644 << 16
    info.compress_type = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
    archive.writestr(info, data, compresslevel=6)
    manifest.write("%d\t%s\t%s\n" % (len(data), "stored" if stored else "deflated", name))


def log_uniform(rng, low, high):
    return int(round(low * (high / low) ** rng.random()))


def make_library_package(out_dir):
    rng = random.Random(SEED)
    contents = Contents(rng)
    plan = []  # (folder, name, kind, size)
    for name, size in (("bass.dll", 420000), ("bass_fx.dll", 160000), ("bassmidi.dll", 260000),
                       ("bassenc.dll", 110000)):
        plan.append(("", name, "library", size))
    for i in range(40):
        plan.append(("plugins/", "plugin_%02d.dll" % i, "library", log_uniform(rng, 100000, 5000000)))
    for i in range(4):
        plan.append(("media/video/", "intro_%d.bik" % i, "media", rng.randint(17000000, 23000000)))
    for i in range(60):
        plan.append(("media/", "sound_%02d.ogg" % i, "media", log_uniform(rng, 200000, 3500000)))
    for i in range(60):
        plan.append(("data/", "table_%02d.json" % i, "text", log_uniform(rng, 20000, 4000000)))
    for i in range(30):
        plan.append(("locale/", "strings_%02d.txt" % i, "text", log_uniform(rng, 5000, 200000)))
    while len(plan) < 300:
        plan.append(("shaders/", "shader_%03d.glsl" % len(plan), "text", log_uniform(rng, 1000, 60000)))

    with zipfile.ZipFile(os.path.join(out_dir, "lib.zip"), "w") as archive, \
            open(os.path.join(out_dir, "lib.manifest"), "w") as manifest:
        folders_done = set()
        for folder, name, kind, size in plan:
            path = ""
            for part in folder.split("/")[:-1]:
                path += part + "/"
                if path not in folders_done:
                    folders_done.add(path)
                    add_directory(archive, path)
            data = getattr(contents, kind)(size)
            add_file(archive, manifest, folder + name, data, stored=(kind == "media"))


def make_many_files_package(out_dir):
    rng = random.Random(SEED + 1)
    contents = Contents(rng)
    with zipfile.ZipFile(os.path.join(out_dir, "many.zip"), "w") as archive, \
            open(os.path.join(out_dir, "many.manifest"), "w") as manifest:
        add_directory(archive, "assets/")
        for category in ("models", "textures", "sounds", "scripts", "maps"):
            add_directory(archive, "assets/%s/" % category)
            for pack in range(10):
                folder = "assets/%s/pack_%02d/" % (category, pack)
                add_directory(archive, folder)
                for i in range(400):
                    size = log_uniform(rng, 200, 32768)
                    if rng.random() < 0.33:
                        add_file(archive, manifest, folder + "item_%03d.bin" % i, contents.media(size), True)
                    else:
                        add_file(archive, manifest, folder + "item_%03d.txt" % i, contents.text(size), False)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_data.py OUT_DIR")
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    make_library_package(out_dir)
    make_many_files_package(out_dir)


if __name__ == "__main__":
    main()
