#pragma once

#include "fs/fs.h"
#include "update/checksum_list.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The mirror's checksum list ("SHA256SUMS") for a library package and a game executable, in the format sha256sum
// writes: the line "# release N" (release: at least 1), then sorted by path "game.exe", the other files given (the
// game's forms), "lib.zip" and "lib/<entry>" for every file the package unpacks, hashed over its unpacked bytes and
// named as the updater writes it. files receives the number of lib/ lines. Returns false with a one-line reason in
// message when a file cannot be read, the package cannot be read, or it has an entry the updater would refuse or name
// differently. Throws std::bad_alloc.
bool MakeChecksumList(const std::filesystem::path& packagePath, const std::filesystem::path& gameExecutablePath,
                      const std::vector<ListedFile>& others, uint64_t release, std::string& text, size_t& files,
                      std::string& message);

// The release a list made now gets by default: the UTC time as the number YYYYMMDDHHMMSS. It grows with every
// second on the studio's clock and involves no player's clock.
uint64_t ReleaseFromUtcNow();

// The studio's clock: seconds since 1970-01-01 UTC.
int64_t UtcNowSeconds();

// SHA-256 of bytes in memory, in plain C++.
Sha256Digest Sha256Of(const unsigned char* data, size_t size);

// SHA-256 of a file, read in pieces; false when it cannot be read.
bool Sha256OfFile(const std::filesystem::path& path, Sha256Digest& digest);
