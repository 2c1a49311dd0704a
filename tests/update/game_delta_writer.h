#pragma once

#include "fs/fs.h"

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

// Game deltas written the plain way a studio's own tool may: the records are given, the difference and extra streams
// follow from them, and no matches are searched for. Shared by the update and end-to-end tests.

struct DeltaRecord {
    uint64_t add;
    uint64_t copy;
    int64_t seek;
};

// A delta's parts before they are joined, so that a test can damage any of them.
struct TestDelta {
    uint64_t oldSize = 0;
    Sha256Digest oldDigest{};
    uint64_t newSize = 0;
    Sha256Digest newDigest{};
    std::string raw[3];    // control, difference, extra, inflated
    std::string packed[3]; // each as its zlib stream
};

inline Sha256Digest Sha256Of(const std::string& bytes)
{
    const Sha256Stream hash = StartSha256();
    Sha256Digest digest{};
    AddSha256(hash, bytes.data(), bytes.size());
    FinishSha256(hash, digest);
    return digest;
}

inline std::string Le64Bytes(uint64_t value)
{
    std::string bytes(8, '\0');
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

// A zlib stream (RFC 1950) of bytes; gzip adds 16 to zlib's window bits for a gzip member (RFC 1952) instead.
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
    TestDelta delta;
    delta.oldSize = old.size();
    delta.oldDigest = Sha256Of(old);
    delta.newSize = next.size();
    delta.newDigest = Sha256Of(next);
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
    std::string bytes = "VORDLT01" + Le64Bytes(delta.oldSize) +
                        std::string(delta.oldDigest.begin(), delta.oldDigest.end()) + Le64Bytes(delta.newSize) +
                        std::string(delta.newDigest.begin(), delta.newDigest.end());
    for (const std::string& stream : delta.packed) {
        bytes += Le64Bytes(stream.size());
    }
    bytes += std::string(32, '\0');
    for (const std::string& stream : delta.packed) {
        bytes += stream;
    }
    return bytes;
}
