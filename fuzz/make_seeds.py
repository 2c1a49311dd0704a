#!/usr/bin/env python3
"""Writes the seed corpus for the fuzz targets, afresh each run, so that no binary file is kept in the tree.

    make_seeds.py OUT     OUT/zip_reader/  archives from Python's zipfile and hand-made edge archives
                          OUT/entry_name/  entry names in the entry-name target's input format
                          OUT/checksum_list/  checksum lists as sha256sum writes them, and near misses
                          OUT/signature/  DER signatures (first byte 0), public keys (1), value pairs (2)
Archives made by Info-ZIP are added by fuzz/run when zip is installed.
"""
import io
import os
import struct
import sys
import zipfile
import zlib


def deflate_raw(data, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15, 8, strategy)
    return compressor.compress(data) + compressor.flush()


def sample(size, seed=1):
    words = [b'lib ', b'game ', b'update ', b'mirror ', b'\n', b'0123 ', b'data ']
    out = bytearray()
    state = seed
    while len(out) < size:
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out += words[(state >> 16) % len(words)]
    return bytes(out[:size])


class Unseekable(io.RawIOBase):
    """A write-only stream without tell or seek: zipfile then writes data descriptors, as a pipe would."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, chunk):
        self.data += chunk
        return len(chunk)


def python_archives():
    archives = {}
    text = sample(3000)
    binary = bytes((i * 7 + i // 256) % 256 for i in range(2000))
    for name, method in (('py-stored.zip', zipfile.ZIP_STORED), ('py-deflated.zip', zipfile.ZIP_DEFLATED)):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, 'w', method) as archive:
            archive.writestr('readme.txt', b'Libraries\r\n')
            archive.writestr('sub/', b'')
            archive.writestr('sub/numbers.txt', text)
            archive.writestr('sub/data.bin', binary)
            archive.writestr('sub/empty.txt', b'')
        archives[name] = buffer.getvalue()

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as archive:
        for name, data in (('big.txt', text), ('small.bin', b'zip64 stored')):
            with archive.open(name, 'w', force_zip64=True) as entry:
                entry.write(data)
    archives['py-zip64.zip'] = buffer.getvalue()

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as archive:
        archive.comment = b'archive comment ' * 4
        info = zipfile.ZipInfo('commented.txt', (2024, 1, 1, 12, 0, 0))
        info.comment = b'entry comment'
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, text[:500])
        directory = zipfile.ZipInfo('folder', (2024, 1, 1, 12, 0, 0))
        directory.external_attr = 0x10
        archive.writestr(directory, b'')
        archive.writestr('caf\u00e9/\u00fcber.txt', b'utf-8 name')
    archives['py-comments.zip'] = buffer.getvalue()

    stream = Unseekable()
    with zipfile.ZipFile(stream, 'w', zipfile.ZIP_DEFLATED) as archive:
        archive.writestr('streamed.txt', text[:1500])
        with archive.open('opened.txt', 'w') as entry:
            entry.write(text[:700])
    archives['py-descriptors.zip'] = bytes(stream.data)

    for name, method in (('py-bzip2.zip', zipfile.ZIP_BZIP2), ('py-lzma.zip', zipfile.ZIP_LZMA)):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, 'w', method) as archive:
            archive.writestr('other-method.txt', text[:400])
        archives[name] = buffer.getvalue()

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w'):
        pass
    archives['py-empty.zip'] = buffer.getvalue()
    return archives


def entry(name, data, method=0, flags=0, external=0, payload=None, zip64=False, disk=0, time=0x6000):
    return dict(name=name, data=data, method=method, flags=flags, external=external, payload=payload, zip64=zip64,
                disk=disk, time=time)


def build(entries, zip64_directory=False, comment=b'', trailing=b'', this_disk=0):
    """A small zip writer for layouts no tool writes."""
    out = bytearray()
    directory = bytearray()
    for e in entries:
        name = e['name']
        if e['payload'] is not None:
            content = e['payload']
        else:
            content = deflate_raw(e['data']) if e['method'] == 8 else e['data']
        crc = zlib.crc32(e['data'])
        offset = len(out)
        local_extra = struct.pack('<HHQQ', 1, 16, len(e['data']), len(content)) if e['zip64'] else b''
        sizes = (0xFFFFFFFF, 0xFFFFFFFF) if e['zip64'] else (len(content), len(e['data']))
        out += struct.pack('<IHHHHHIIIHH', 0x04034b50, 45 if e['zip64'] else 20, e['flags'], e['method'], e['time'],
                           0x5821, crc, sizes[0], sizes[1], len(name), len(local_extra))
        out += name + local_extra + content
        central_extra = struct.pack('<HHQQQ', 1, 24, len(e['data']), len(content), offset) if e['zip64'] else b''
        directory += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 45 if e['zip64'] else 20, e['flags'],
                                 e['method'], e['time'], 0x5821, crc, sizes[0], sizes[1], len(name),
                                 len(central_extra), 0, e['disk'], 0, e['external'],
                                 0xFFFFFFFF if e['zip64'] else offset)
        directory += name + central_extra
    directory_offset = len(out)
    out += directory
    count = len(entries)
    if zip64_directory:
        end64 = len(out)
        out += struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, this_disk, this_disk, count, count,
                           len(directory), directory_offset)
        out += struct.pack('<IIQI', 0x07064b50, 0, end64, 1)
        out += struct.pack('<IHHHHIIH', 0x06054b50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                           len(comment))
    else:
        out += struct.pack('<IHHHHIIH', 0x06054b50, this_disk, this_disk, count, count, len(directory),
                           directory_offset, len(comment))
    return bytes(out + comment + trailing)


def hand_made_archives():
    text = sample(2500, seed=7)
    archives = {
        'edge-end-record-only.zip': build([]),
        'edge-comment-and-trailing.zip': build([entry(b'a.txt', b'hello')], comment=b'c' * 300,
                                               trailing=b'appended'),
        'edge-zip64-records.zip': build([entry(b's.txt', b'zip64 stored', zip64=True),
                                         entry(b'd.txt', text, method=8, zip64=True)], zip64_directory=True),
        'edge-directories.zip': build([entry(b'dir/', b''), entry(b'attr', b'', external=0x10),
                                       entry(b'attr-with-data', b'data', external=0x10), entry(b'back\\', b'x')]),
        'edge-fixed-huffman.zip': build([entry(b'f.txt', text, method=8,
                                               payload=deflate_raw(text, strategy=zlib.Z_FIXED))]),
        'edge-dynamic-huffman.zip': build([entry(b'h.txt', text * 3, method=8, payload=deflate_raw(text * 3, 9))]),
        'edge-stored-block.zip': build([entry(b'b.txt', text[:300], method=8, payload=deflate_raw(text[:300], 0))]),
        'edge-empty-deflate.zip': build([entry(b'e.txt', b'', method=8), entry(b'z.txt', b'')]),
        'edge-unsupported.zip': build([entry(b'enc.bin', b'secret', flags=1), entry(b'lzma.bin', b'packed', method=14),
                                       entry(b'patch.bin', b'patch', method=8, flags=0x20),
                                       entry(b'strong.bin', b'strong', flags=0x40)]),
        'edge-both-disks-one.zip': build([entry(b'a.txt', b'disk one', disk=1)], this_disk=1),
        'edge-names.zip': build([entry(b'../up.txt', b'1'), entry(b'C:drive.txt', b'2'), entry(b'a\x00b', b'3'),
                                 entry(b'n' * 600, b'4'), entry(b'caf\x81.txt', b'5', flags=0x800)]),
        'edge-time-zero-sizes.zip': build([entry(b't.txt', b'abcdef', time=0)]),
    }
    # Two central records for one local entry, and one whose data is the next entry's local header.
    one = build([entry(b'shared.txt', text, method=8)])
    directory_offset = struct.unpack_from('<I', one, len(one) - 6)[0]
    record = one[directory_offset:len(one) - 22]
    archives['edge-overlapping.zip'] = (one[:directory_offset] + record + record +
                                        struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 2, 2, 2 * len(record),
                                                    directory_offset, 0))
    return archives


ENTRY_NAMES = ['a.dll', 'sub/a.dll', 'sub\\a.dll', 'x/./y', 'a//b', '...', '..a', 'a..', '.. ', ' ..', 'dir/',
               'NUL', '', '..', '../a.dll', 'a/../b', 'a/..', 'a\\..\\b', '/a', '\\a', 'C:a.dll', 'a:b', 'ab:',
               'sub/../../up/', 'caf\u00e9\\\u00fcber.txt', '\uff0e\uff0e/x', 'a\u2215..\u2215b']


def entry_name_seeds():
    seeds = {}
    for index, name in enumerate(ENTRY_NAMES):
        seeds['utf16-%02d' % index] = b'\x00' + name.encode('utf-16-le')
        if all(ord(c) < 256 for c in name):
            seeds['bytes-%02d' % index] = b'\x01' + name.encode('latin-1')
    return seeds


def checksum_list_seeds():
    def line(digit, path, mark=' '):
        return (digit * 64 + ' ' + mark).encode() + path + b'\n'
    head = line('a', b'game.exe') + line('b', b'lib.zip')
    return {
        'minimal': head,
        'library': head + line('c', b'lib/bass.dll') + line('d', b'lib/sub/data.pak', '*'),
        'crlf-no-final-newline': head.replace(b'\n', b'\r\n') + line('e', b'lib/a.dll')[:-1],
        'utf8-and-dots': head + line('f', 'lib/caf\u00e9/...'.encode()) + line('0', b'lib/.a..b'),
        'climbs-out': head + line('1', b'lib/../vorlance.exe'),
        'twice-in-other-case': head + line('2', b'lib/A.dll') + line('3', b'lib/a.DLL'),
        'escaped-name': head + b'\\' + line('4', b'lib/a\\\\b'),
        'release-and-comments': b'# release 20261208143000\n' + head + b'# note\n' + line('5', b'lib/a.dll'),
        'release-malformed': b'# release 042\r\n' + head + line('6', b'lib/a.dll'),
    }


# A P-256 public key as openssl writes it (a public key only; no private key is kept anywhere in the tree).
PUBLIC_KEY = (b'-----BEGIN PUBLIC KEY-----\n'
              b'MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEQ/fHhCVZg9eXUN4aGaDWIZbu7IRF\n'
              b'HqHHYC2bC8Iskm6iXVhio8kYimoSEE/0v6/xn37kHAY1P+L0YAB7qziTsA==\n'
              b'-----END PUBLIC KEY-----\n')


def signature_seeds():
    def integer(value):
        value = value.lstrip(b'\0')
        if value[0] >= 0x80:
            value = b'\0' + value
        return b'\x02' + bytes([len(value)]) + value

    def sequence(r, s):
        content = integer(r) + integer(s)
        return b'\x30' + bytes([len(content)]) + content
    good = sequence(bytes(range(1, 33)), bytes(range(0x80, 0xA0)))
    return {
        'der-good': b'\0' + good,
        'der-short': b'\0' + sequence(b'\x01', b'\x7f'),
        'der-long-form': b'\0\x30\x81' + good[1:],
        'der-trailing': b'\0' + good + b'\0',
        'key': b'\x01' + PUBLIC_KEY,
        'key-crlf': b'\x01' + PUBLIC_KEY.replace(b'\n', b'\r\n'),
        'pair': b'\x02' + bytes(range(64)),
    }


def main():
    out = sys.argv[1]
    for folder, files in (('zip_reader', {**python_archives(), **hand_made_archives()}),
                          ('entry_name', entry_name_seeds()), ('checksum_list', checksum_list_seeds()),
                          ('signature', signature_seeds())):
        os.makedirs(os.path.join(out, folder), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(out, folder, name), 'wb') as seed:
                seed.write(data)


if __name__ == '__main__':
    main()
