#pragma once

#include "fs/fs.h"

#include <cstddef>
#include <string>
#include <vector>

// The mirror's optional checksum list ("SHA256SUMS") in the format sha256sum writes. Portable C++ with no Windows
// header, so that the parser also builds natively for fuzzing.

// A longer list is refused unread: a real one holds a line per library file, far below this.
const size_t CHECKSUM_LIST_MAX_BYTES = 1024 * 1024;

// One "lib/..." line: the file's path below "lib" with '\' separators, as the updater writes it there.
struct LibraryFileChecksum {
    std::wstring relativePath;
    Sha256Digest digest;
};

// What a list that could be parsed says: "game.exe", "lib.zip" and every "lib/..." line in list order.
struct ChecksumList {
    Sha256Digest gameExecutable;
    Sha256Digest libraryPackage;
    std::vector<LibraryFileChecksum> libraryFiles;
};

// Parses the bytes of a checksum list; false when they cannot be parsed (too long, a malformed line, a path outside
// "game.exe", "lib.zip" and safe "lib/..." paths, a path twice, no "game.exe", "lib.zip" or "lib/..." line). Throws
// std::bad_alloc.
bool ParseChecksumList(const std::string& text, ChecksumList& list);

// A digest as sha256sum prints it: 64 lower-case hex digits.
std::string FormatDigestHex(const Sha256Digest& digest);
