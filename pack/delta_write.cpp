// Writing a game delta in the bsdiff way. A suffix array of the old file finds, at each point of the new one, the
// longest exact match in the old; a match is taken only where it beats the old file at the current alignment by
// enough, and is then stretched forwards and backwards as long as at least half of the bytes still agree. The
// stretched parts go to the difference stream as bytewise differences (mostly zeros where code moved, which deflate
// packs to almost nothing), the bytes between matches to the extra stream. Native tool only.
#include "pack/delta.h"

#include "pack/manifest.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A match is worth a new alignment only when it is this many bytes longer than what the current alignment already
// gives at the same place.
const int64_t BETTER_MATCH_BYTES = 8;
// The suffix sort indexes with 32-bit signed numbers.
const uint64_t DELTA_INPUT_MAX_BYTES = 0x7FFFFFFF;

// zlib's memory level also sets how many symbols a deflate block holds: the difference stream of nearby releases, long
// runs of zeros between changed addresses, packs a few percent smaller in the shorter blocks of level 5, while
// longer streams of new code do better at zlib's default 8. Each stream takes the smaller.
const int STREAM_MEMORY_LEVELS[] = {5, 8};

struct Files {
    const unsigned char* old;
    int64_t oldSize;
    const unsigned char* now;
    int64_t newSize;
    std::vector<saidx_t> suffixes;
};

int64_t MatchLength(const unsigned char* a, int64_t aSize, const unsigned char* b, int64_t bSize)
{
    const int64_t limit = std::min(aSize, bSize);
    int64_t i = 0;
    while (i < limit && a[i] == b[i]) {
        ++i;
    }
    return i;
}

// The longest match in the old file for the new file's bytes from scan, found by a binary search of the suffixes.
int64_t LongestMatch(const Files& f, int64_t scan, int64_t& position)
{
    const unsigned char* wanted = f.now + scan;
    const int64_t wantedSize = f.newSize - scan;
    int64_t low = 0;
    int64_t high = f.oldSize - 1;
    while (high - low >= 2) {
        const int64_t middle = low + (high - low) / 2;
        const int64_t at = f.suffixes[static_cast<size_t>(middle)];
        const size_t compared = static_cast<size_t>(std::min(f.oldSize - at, wantedSize));
        if (std::memcmp(f.old + at, wanted, compared) < 0) {
            low = middle;
        } else {
            high = middle;
        }
    }
    const int64_t lowAt = f.suffixes[static_cast<size_t>(low)];
    const int64_t highAt = f.suffixes[static_cast<size_t>(high)];
    const int64_t lowLength = MatchLength(f.old + lowAt, f.oldSize - lowAt, wanted, wantedSize);
    const int64_t highLength = MatchLength(f.old + highAt, f.oldSize - highAt, wanted, wantedSize);
    position = lowLength > highLength ? lowAt : highAt;
    return std::max(lowLength, highLength);
}

void AppendLe64(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>(static_cast<unsigned char>(value >> (8 * i)));
    }
}

bool SameAt(const Files& f, int64_t oldAt, int64_t newAt)
{
    return oldAt >= 0 && oldAt < f.oldSize && f.old[oldAt] == f.now[newAt];
}

// The three streams, uncompressed.
struct Streams {
    std::string control;
    std::string difference;
    std::string extra;
};

std::string DeflateStream(const std::string& bytes)
{
    std::string smallest;
    for (const int level : STREAM_MEMORY_LEVELS) {
        std::string deflated = DeflateBytes(bytes, 15, level);
        if (smallest.empty() || deflated.size() < smallest.size()) {
            smallest.swap(deflated);
        }
    }
    return smallest;
}

void Scan(const Files& f, Streams& out)
{
    int64_t scan = 0;
    int64_t length = 0;
    int64_t position = 0;
    int64_t lastScan = 0;
    int64_t lastPosition = 0;
    int64_t lastOffset = 0;
    while (scan < f.newSize) {
        // How many bytes of the candidate match the current alignment (lastOffset) already gives.
        int64_t oldScore = 0;
        scan += length;
        for (int64_t scored = scan; scan < f.newSize; ++scan) {
            length = f.oldSize > 0 ? LongestMatch(f, scan, position) : 0;
            for (; scored < scan + length; ++scored) {
                oldScore += SameAt(f, scored + lastOffset, scored) ? 1 : 0;
            }
            if ((length == oldScore && length != 0) || length > oldScore + BETTER_MATCH_BYTES) {
                break;
            }
            oldScore -= SameAt(f, scan + lastOffset, scan) ? 1 : 0;
        }
        if (length == oldScore && scan != f.newSize) {
            continue;
        }
        // Stretch the previous match forwards while at least half of the bytes agree.
        int64_t forward = 0;
        for (int64_t i = 0, same = 0, best = 0; lastScan + i < scan && lastPosition + i < f.oldSize;) {
            same += f.old[lastPosition + i] == f.now[lastScan + i] ? 1 : 0;
            ++i;
            if (same * 2 - i > best * 2 - forward) {
                best = same;
                forward = i;
            }
        }
        // And the new match backwards.
        int64_t backward = 0;
        if (scan < f.newSize) {
            for (int64_t i = 1, same = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                same += f.old[position - i] == f.now[scan - i] ? 1 : 0;
                if (same * 2 - i > best * 2 - backward) {
                    best = same;
                    backward = i;
                }
            }
        }
        // Where the two stretches overlap, split them where the bytes agree best.
        if (lastScan + forward > scan - backward) {
            const int64_t overlap = (lastScan + forward) - (scan - backward);
            int64_t split = 0;
            for (int64_t i = 0, score = 0, best = 0; i < overlap; ++i) {
                score += f.now[lastScan + forward - overlap + i] == f.old[lastPosition + forward - overlap + i] ? 1 : 0;
                score -= f.now[scan - backward + i] == f.old[position - backward + i] ? 1 : 0;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        for (int64_t i = 0; i < forward; ++i) {
            out.difference +=
                static_cast<char>(static_cast<unsigned char>(f.now[lastScan + i] - f.old[lastPosition + i]));
        }
        const int64_t extraBytes = (scan - backward) - (lastScan + forward);
        out.extra.append(reinterpret_cast<const char*>(f.now + lastScan + forward), static_cast<size_t>(extraBytes));
        AppendLe64(out.control, static_cast<uint64_t>(forward));
        AppendLe64(out.control, static_cast<uint64_t>(extraBytes));
        AppendLe64(out.control, static_cast<uint64_t>((position - backward) - (lastPosition + forward)));
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
}

} // namespace

bool MakeDelta(const std::string& old, const std::string& now, std::string& delta, std::string& message)
{
    if (old.size() > DELTA_INPUT_MAX_BYTES || now.size() > DELTA_INPUT_MAX_BYTES) {
        message = "a delta needs both games below 2 GiB";
        return false;
    }
    Files f{reinterpret_cast<const unsigned char*>(old.data()),
            static_cast<int64_t>(old.size()),
            reinterpret_cast<const unsigned char*>(now.data()),
            static_cast<int64_t>(now.size()),
            {}};
    f.suffixes.resize(old.size());
    if (!old.empty() && divsufsort(f.old, f.suffixes.data(), static_cast<saidx_t>(old.size())) != 0) {
        message = "the suffix sort failed";
        return false;
    }
    Streams streams;
    streams.difference.reserve(now.size());
    Scan(f, streams);
    f.suffixes = std::vector<saidx_t>();
    DeltaHeader header;
    header.oldSize = old.size();
    header.oldDigest = Sha256Of(f.old, old.size());
    header.newSize = now.size();
    header.newDigest = Sha256Of(f.now, now.size());
    const std::string control = DeflateStream(streams.control);
    const std::string difference = DeflateStream(streams.difference);
    const std::string extra = DeflateStream(streams.extra);
    header.controlBytes = control.size();
    header.differenceBytes = difference.size();
    header.extraBytes = extra.size();
    delta = FormatDeltaHeader(header) + control + difference + extra;
    return true;
}
