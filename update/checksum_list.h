#pragma once

#include "fs/fs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The mirror's optional checksum list ("SHA256SUMS") in the format sha256sum writes. Portable C++ with no Windows
// header, so that the parser also builds natively for fuzzing.

// A longer list is refused unread. A line per library file of 71 bytes and its path's: 20,000 files whose paths below
// lib average up to 138 bytes fit. Parsing a list of B bytes holds under 4 B besides the text itself (per line: its
// entry of 64 bytes, up to three while the vector grows, a 64-byte node of the set of folded paths, and the path in
// UTF-16 twice), so at most 16 MiB here.
const size_t CHECKSUM_LIST_MAX_BYTES = 4 * 1024 * 1024;

// One "lib/..." line: the file's path below "lib" with '\' separators, as the updater writes it there.
struct LibraryFileChecksum {
    std::wstring relativePath;
    Sha256Digest digest;
};

// A release number has 1 to 18 decimal digits, so that every one fits in 64 bits.
const size_t RELEASE_MAX_DIGITS = 18;

// What a list that could be parsed says: its release, "game.exe", "lib.zip" and every "lib/..." line in list order.
// A line that names a file outside "lib/" other than "game.exe" and "lib.zip": its name as listed (UTF-8, '/'
// separators). The updater takes from these the forms it knows and ignores the rest, so that a list can name what
// newer updaters use without turning older ones away.
struct ListedFile {
    std::string name;
    Sha256Digest digest;
};

struct ChecksumList {
    uint64_t release = 0; // from a first line "# release N"; 0 without one
    Sha256Digest gameExecutable;
    Sha256Digest libraryPackage;
    std::vector<LibraryFileChecksum> libraryFiles;
    std::vector<ListedFile> otherFiles; // in list order
    // Not read from the text: the mirrors (entries of the base-URL table) whose own list was of an older release, so
    // that this run fetches nothing more from them. Filled by the run's list fetch.
    std::vector<const wchar_t*> refusedMirrors;
};

// Parses the bytes of a checksum list; false when they cannot be parsed (too long, a malformed line, a path that is
// not safe below the release's folder (the rule of "lib/..." paths), a path twice (names that differ only in case are
// one file), no "game.exe", "lib.zip" or "lib/..." line). Lines that begin with '#' are skipped, as sha256sum skips
// them; the first line alone may state the release. Throws std::bad_alloc.
bool ParseChecksumList(const std::string& text, ChecksumList& list);

// The digest the list gives a file outside "lib/" (one of otherFiles, by its exact listed name); null when the list
// does not name it.
const Sha256Digest* FindListedFile(const ChecksumList& list, const std::string& name);

// Reads a release number: 1 to RELEASE_MAX_DIGITS decimal digits, the first not 0, nothing else. Never throws.
bool ParseReleaseNumber(const std::string& digits, uint64_t& release);

// Reads N from a line of exactly the form "# release N" (without its line end). Throws std::bad_alloc.
bool ParseReleaseLine(const std::string& line, uint64_t& release);

// True when a line of the list is meant as a release line ('#', then the word "release") but the list's release
// cannot be read from it: a malformed number, or such a line anywhere but first. The updater takes such a list as
// release 0; the studio's tool refuses to sign it. Throws std::bad_alloc.
bool HasMalformedReleaseLine(const std::string& text);

// The release number of a moment (seconds since 1970-01-01 UTC, not before it): the UTC time as YYYYMMDDHHMMSS.
uint64_t ReleaseOfUtcTime(int64_t secondsSinceEpoch);

// How far ahead of the studio's clock a release number may lie: a day covers a clock set a little wrong and a release
// prepared the evening before, while a typo of an extra digit lies centuries ahead.
const int64_t RELEASE_AHEAD_MAX_SECONDS = 24 * 60 * 60;

// True when a release lies beyond the UTC time nowSecondsSinceEpoch plus RELEASE_AHEAD_MAX_SECONDS, as
// YYYYMMDDHHMMSS. An updater that installs such a release refuses every list the studio makes until then, so the
// studio's tool refuses to write or sign one; the updater itself never judges by a clock.
bool IsReleaseTooFarAhead(uint64_t release, int64_t nowSecondsSinceEpoch);

// The first line of a list of that release, newline included. Throws std::bad_alloc.
std::string ReleaseLine(uint64_t release);

// A digest as sha256sum prints it: 64 lower-case hex digits.
std::string FormatDigestHex(const Sha256Digest& digest);
