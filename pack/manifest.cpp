#include "pack/manifest.h"

#include "archive/archive.h"
#include "pack/pack.h"
#include "update/checksum_list.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

namespace {

const size_t READ_PIECE_BYTES = 0x100000;

// SHA-256 in plain C++, so that the studio's tool needs no crypto library on either system it runs on.
struct Sha256State {
    std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block{};
    size_t filled = 0;
    uint64_t total = 0;
};

uint32_t Rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void Sha256Compress(Sha256State& s)
{
    static const uint32_t K[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t(s.block[4 * i]) << 24) | (uint32_t(s.block[4 * i + 1]) << 16) |
               (uint32_t(s.block[4 * i + 2]) << 8) | uint32_t(s.block[4 * i + 3]);
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::array<uint32_t, 8> v = s.h; // a..h
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = v[7] + (Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25)) +
                            ((v[4] & v[5]) ^ (~v[4] & v[6])) + K[i] + w[i];
        const uint32_t t2 =
            (Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
        for (int k = 7; k > 0; --k) {
            v[k] = v[k - 1];
        }
        v[4] += t1;
        v[0] = t1 + t2;
    }
    for (int k = 0; k < 8; ++k) {
        s.h[k] += v[k];
    }
}

void Sha256Add(Sha256State& s, const unsigned char* data, size_t size)
{
    s.total += size;
    while (size > 0) {
        const size_t take = std::min(size, s.block.size() - s.filled);
        std::memcpy(s.block.data() + s.filled, data, take);
        s.filled += take;
        data += take;
        size -= take;
        if (s.filled == s.block.size()) {
            Sha256Compress(s);
            s.filled = 0;
        }
    }
}

std::array<unsigned char, 32> Sha256Finish(Sha256State& s)
{
    const uint64_t bits = s.total * 8;
    const unsigned char one = 0x80;
    Sha256Add(s, &one, 1);
    const unsigned char zero = 0;
    while (s.filled != 56) {
        Sha256Add(s, &zero, 1);
    }
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
    Sha256Add(s, length, 8);
    std::array<unsigned char, 32> digest{};
    for (size_t i = 0; i < 32; ++i) {
        digest[i] = static_cast<unsigned char>(s.h[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

std::string HashOf(const std::string& bytes)
{
    return FormatDigestHex(Sha256Of(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

size_t HashCallback(void* opaque, uint64_t, const void* data, size_t length)
{
    Sha256Add(*static_cast<Sha256State*>(opaque), static_cast<const unsigned char*>(data), length);
    return length;
}

bool HashEntries(const std::string& package, std::vector<std::pair<std::string, std::string>>& lines,
                 std::string& message)
{
    mz_zip_archive archive;
    if (!OpenZipImage(package.data(), package.size(), archive, message)) {
        return false;
    }
    OpenZip opened(&archive);
    // Named as the updater writes them, dropped "." components and the disk's first spelling included.
    const std::vector<PackageEntry> entries = ScanPackage(&archive);
    for (mz_uint i = 0; i < entries.size(); ++i) {
        const PackageEntry& entry = entries[i];
        if (!entry.refusal.empty()) {
            message = "zip entry " + std::to_string(i) + " would fail the updater: " + entry.refusal;
            return false;
        }
        if (entry.folder) {
            continue;
        }
        std::string path = WideToUtf8(entry.diskPath);
        std::replace(path.begin(), path.end(), '\\', '/');
        if (entry.clash != PackageEntry::NO_ENTRY) {
            // Windows would write both to one file; the list could state only one of them.
            message = "zip entry " + path + " appears twice (names differ in case at most)";
            return false;
        }
        Sha256State hash;
        mz_zip_get_last_error(&archive);
        if (!mz_zip_reader_extract_to_callback(&archive, i, HashCallback, &hash, 0)) {
            message = "cannot unpack zip entry " + path + ": " + EntryFailureText(&archive);
            return false;
        }
        lines.emplace_back("lib/" + path, FormatDigestHex(Sha256Finish(hash)));
    }
    return true;
}

} // namespace

Sha256Digest Sha256Of(const unsigned char* data, size_t size)
{
    Sha256State hash;
    Sha256Add(hash, data, size);
    return Sha256Finish(hash);
}

bool Sha256OfFile(const std::filesystem::path& path, Sha256Digest& digest)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    Sha256State hash;
    std::vector<char> piece(READ_PIECE_BYTES);
    while (in) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        Sha256Add(hash, reinterpret_cast<const unsigned char*>(piece.data()), static_cast<size_t>(in.gcount()));
    }
    if (!in.eof()) {
        return false;
    }
    digest = Sha256Finish(hash);
    return true;
}

bool MakeChecksumList(const std::filesystem::path& packagePath, const std::filesystem::path& gameExecutablePath,
                      const std::vector<ListedFile>& others, uint64_t release, std::string& text, size_t& files,
                      std::string& message)
{
    std::string package;
    if (!ReadWholeFile(packagePath, PACKAGE_MAX_BYTES, package) || package.empty()) {
        message = "cannot read " + PathToUtf8(packagePath) + ", or it is empty or larger than the updater unpacks";
        return false;
    }
    Sha256Digest game{};
    if (!Sha256OfFile(gameExecutablePath, game)) {
        message = "cannot read " + PathToUtf8(gameExecutablePath);
        return false;
    }
    std::vector<std::pair<std::string, std::string>> lines = {{"game.exe", FormatDigestHex(game)},
                                                              {"lib.zip", HashOf(package)}};
    if (!HashEntries(package, lines, message)) {
        message = PathToUtf8(packagePath) + ": " + message;
        return false;
    }
    files = lines.size() - 2;
    for (const ListedFile& other : others) {
        lines.emplace_back(other.name, FormatDigestHex(other.digest));
    }
    std::sort(lines.begin(), lines.end());
    // First, where the updater reads it; sha256sum skips it as a comment.
    text = ReleaseLine(release);
    for (const auto& line : lines) {
        text += line.second + "  " + line.first + "\n";
    }
    return true;
}

int64_t UtcNowSeconds()
{
    return static_cast<int64_t>(std::time(nullptr));
}

uint64_t ReleaseFromUtcNow()
{
    return ReleaseOfUtcTime(UtcNowSeconds());
}
