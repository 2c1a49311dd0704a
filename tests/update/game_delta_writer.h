#pragma once

#include "fs/fs.h"

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// Game deltas written the plain way a studio's own tool may: the records are given, the difference and extra streams
// follow from them, nothing is searched. Kept in parts, so that a test can damage any of them.
struct DeltaRecord {
    uint64_t add;
    uint64_t copy;
    int64_t seek;
};
struct TestDelta {
    uint64_t oldSize, newSize;
    Sha256Digest oldDigest, newDigest;
    std::string raw[3];    // control, difference, extra, inflated
    std::string packed[3]; // each as its zlib stream
};

inline Sha256Digest Sha256Of(const std::string& bytes)
{
    Sha256Digest digest{};
    const Sha256Stream hash = StartSha256();
    return AddSha256(hash, bytes.data(), bytes.size()) && FinishSha256(hash, digest), digest;
}

inline std::string Le64Bytes(uint64_t value)
{
    std::string bytes;
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

// A zlib stream (RFC 1950) of bytes, or with gzip a gzip member (RFC 1952).
inline std::string Compressed(const std::string& bytes, bool gzip = false)
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, gzip ? 16 + MAX_WBITS : MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, bytes.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

inline TestDelta MakeTestDelta(const std::string& old, const std::string& next, const std::vector<DeltaRecord>& records)
{
    TestDelta delta{old.size(), next.size(), Sha256Of(old), Sha256Of(next), {}, {}};
    uint64_t oldAt = 0;
    uint64_t newAt = 0;
    for (const DeltaRecord& record : records) {
        delta.raw[0] += Le64Bytes(record.add) + Le64Bytes(record.copy) + Le64Bytes(static_cast<uint64_t>(record.seek));
        for (uint64_t i = 0; i < record.add; ++i) {
            delta.raw[1] += static_cast<char>(next[newAt + i] - old[oldAt + i]);
        }
        delta.raw[2] += next.substr(newAt + record.add, record.copy);
        oldAt += record.add + record.seek;
        newAt += record.add + record.copy;
    }
    for (int i = 0; i < 3; ++i) {
        delta.packed[i] = Compressed(delta.raw[i]);
    }
    return delta;
}

inline std::string DeltaBytes(const TestDelta& delta)
{
    const auto text = [](const Sha256Digest& digest) { return std::string(digest.begin(), digest.end()); };
    std::string bytes = "VORDLT01" + Le64Bytes(delta.oldSize) + text(delta.oldDigest) + Le64Bytes(delta.newSize) +
                        text(delta.newDigest) + Le64Bytes(delta.packed[0].size()) + Le64Bytes(delta.packed[1].size()) +
                        Le64Bytes(delta.packed[2].size()) + std::string(32, '\0');
    return bytes + delta.packed[0] + delta.packed[1] + delta.packed[2];
}
