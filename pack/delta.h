#pragma once

#include "fs/fs.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The forms of game.exe a release may offer beside the file itself: "game.exe.gz" (gzip, as `gzip -9 -n` writes it)
// and "game.exe.from-XXXXXXXXXXXXXXXX", a delta that turns the game whose SHA-256 begins with those 16 hex digits
// into this release's. The applying half is portable C++ over zlib with no Windows header, so that the updater can
// apply a delta with the same code.
//
// A delta, all integers little-endian: a header of DELTA_HEADER_BYTES ("VORDLT01"; old size u64 and SHA-256; new
// size u64 and SHA-256; the compressed bytes of the control, difference and extra streams, u64 each; 32 zero bytes),
// then the three streams back to back, each one zlib stream. The control stream is a sequence of records of three
// 64-bit numbers (add, copy, seek): add bytes are old bytes plus difference bytes, copy bytes come from the extra
// stream, and seek moves the position in the old file (two's complement).

const char GAME_GZ_NAME[] = "game.exe.gz";
const char GAME_DELTA_PREFIX[] = "game.exe.from-";
// Hex digits of the old game's SHA-256 in a delta's name: 64 bits tell a studio's releases apart.
const size_t GAME_DELTA_NAME_HEX_DIGITS = 16;

const char DELTA_MAGIC[] = "VORDLT01";
const size_t DELTA_HEADER_BYTES = 144;
const size_t DELTA_RECORD_BYTES = 24;

struct DeltaHeader {
    uint64_t oldSize = 0;
    Sha256Digest oldDigest{};
    uint64_t newSize = 0;
    Sha256Digest newDigest{};
    uint64_t controlBytes = 0;
    uint64_t differenceBytes = 0;
    uint64_t extraBytes = 0;
};

// The name of the delta from the game with this digest: GAME_DELTA_PREFIX and its first 16 hex digits. Throws
// std::bad_alloc.
std::string GameDeltaName(const Sha256Digest& oldDigest);

// True for a name GameDeltaName gives: GAME_DELTA_PREFIX and 16 lower-case hex digits.
bool IsGameDeltaName(const std::string& name);

// Reads the header of a delta file of deltaSize bytes from its first DELTA_HEADER_BYTES; false with a reason when it
// is not one (magic, reserved bytes, streams that do not end exactly where the file does). Throws std::bad_alloc.
bool ParseDeltaHeader(const unsigned char* bytes, uint64_t deltaSize, DeltaHeader& header, std::string& message);

// The header's bytes. Throws std::bad_alloc.
std::string FormatDeltaHeader(const DeltaHeader& header);

// Where the applier reads the delta and writes the new file. read fills count bytes of the delta from offset; write
// takes the next count bytes of the new file; either returns false to stop the application.
struct DeltaIo {
    void* context;
    bool (*read)(void* context, uint64_t offset, unsigned char* bytes, size_t count);
    bool (*write)(void* context, const unsigned char* bytes, size_t count);
};

// Applies a delta whose header was parsed to old (header.oldSize bytes, whose SHA-256 the caller has compared with
// header.oldDigest), writing header.newSize bytes through io in pieces; the caller hashes them and compares the
// result with header.newDigest. Holds about 400 KiB besides old. False with a reason when the delta is damaged (a
// read outside old, a record beyond the new size, a stream that does not end exactly where its bytes do) or when io
// stops it. Throws std::bad_alloc.
bool ApplyDelta(const DeltaHeader& header, const unsigned char* old, const DeltaIo& io, std::string& message);

// The bytes in a zlib stream (windowBits 15) or, with windowBits 31, in gzip format with mtime 0, no name and the
// Unix system byte, as `gzip -n` writes; deflate at level 9 with zlib's memory level (1 to 9; 8 is zlib's default, and
// gzip's). Throws std::bad_alloc.
std::string DeflateBytes(const std::string& bytes, int windowBits, int memoryLevel);

// Inflates a whole gzip file; false when it is damaged, is not gzip, or holds more than limit bytes. Throws
// std::bad_alloc.
bool GunzipBytes(const std::string& gz, uint64_t limit, std::string& bytes);

#ifndef _WIN32
// A delta that turns old into now, in the bsdiff way: approximate matches found through a suffix array of old, with
// their differences, and the bytes that match nothing. Native tool only (the suffix sort is libdivsufsort's). False
// with a reason when a file is 2 GiB or larger. Throws std::bad_alloc.
bool MakeDelta(const std::string& old, const std::string& now, std::string& delta, std::string& message);
#endif
