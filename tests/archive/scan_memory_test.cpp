#include "archive/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

// Every allocation of this test program is counted (its size kept in a header that also keeps the alignment), so
// that what the scan holds at its peak can be compared with the directory it reads.
namespace {
const size_t HEADER_BYTES = 16;
std::atomic<size_t> liveBytes{0};
size_t peakBytes = 0; // read only while one thread allocates
} // namespace

void* operator new(size_t size)
{
    void* block = std::malloc(size + HEADER_BYTES);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<size_t*>(block) = size;
    peakBytes = std::max(peakBytes, liveBytes += size);
    return static_cast<char*>(block) + HEADER_BYTES;
}

void operator delete(void* address) noexcept
{
    if (address != nullptr) {
        void* block = static_cast<char*>(address) - HEADER_BYTES;
        liveBytes -= *static_cast<size_t*>(block);
        std::free(block);
    }
}

void operator delete(void* address, size_t) noexcept
{
    operator delete(address);
}

// Deep names of one-letter folders, each below a top folder of its own: a copy of every prefix would cost about 240
// times the directory. The scan holds at most what archive.h states, besides the records it is given.
TEST(ScanMemory, DeepNamesCostMemoryInTheirLength)
{
    std::vector<EntryRecord> records(64);
    size_t directoryBytes = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].storedName = "top" + std::to_string(i);
        while (records[i].storedName.size() + 2 <= 511) {
            records[i].storedName += "/a";
        }
        directoryBytes += 46 + records[i].storedName.size();
    }
    const size_t before = liveBytes;
    peakBytes = before;
    const auto entries = JudgeEntries(records, [](size_t, const EntryRecord&, const PackageEntry&) { return ""; });
    EXPECT_TRUE(entries.back().refusal.empty()) << entries.back().refusal;
    EXPECT_LE(peakBytes - before, 30 * directoryBytes);
}
