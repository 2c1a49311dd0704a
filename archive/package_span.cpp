// One entry of a package read by ranges, unpacked from the bytes fetched for it by the zip library's own extraction:
// the same checks of the local header, where the data lies, the unpacked size and the CRC-32.
#include "archive/archive.h"

#include "archive/zipreader/zip_reader_internal.h"

#include <algorithm>
#include <new>

using namespace zipreader;

namespace {

// deflate cannot expand data by more than this factor, so a claimed size beyond it is never reserved up front.
const uint64_t DEFLATE_MAX_RATIO = 1032;

bool Fail(const RangedEntry& entry, mz_zip_error error, std::string& reason)
{
    reason = "failed extracting " + WideToUtf8(entry.path) + ": " + mz_zip_get_error_string(error);
    return false;
}

// Collects what the library's extraction hands out; memory that runs out is told to the caller after the library
// has let go of its stream.
struct Collected {
    std::vector<uint8_t>& data;
    bool outOfMemory;
};

size_t Collect(void* opaque, mz_uint64, const void* bytes, size_t size)
{
    auto* collected = static_cast<Collected*>(opaque);
    try {
        const auto* first = static_cast<const uint8_t*>(bytes);
        collected->data.insert(collected->data.end(), first, first + size);
    } catch (const std::bad_alloc&) {
        collected->outOfMemory = true;
        return 0;
    }
    return size;
}

} // namespace

bool UnpackEntrySpan(const RangedEntry& entry, const uint8_t* span, size_t spanSize, std::vector<uint8_t>& data,
                     std::string& reason)
{
    data.clear();
    // An empty entry is handed out without a look at its local header.
    if (entry.compressedSize == 0) {
        return true;
    }
    if (entry.method != 0 && entry.method != MZ_DEFLATED) {
        return Fail(entry, MZ_ZIP_UNSUPPORTED_METHOD, reason);
    }
    // The span stands for the package from the entry's local header on; the library's own extraction reads it. What
    // is reserved up front is bounded by the bytes there are, whatever the record claims.
    const uint64_t input = std::min<uint64_t>(entry.compressedSize, spanSize);
    data.reserve(static_cast<size_t>(std::min({entry.uncompressedSize, input * DEFLATE_MAX_RATIO, PACKAGE_MAX_BYTES})));
    Collected collected{data, false};
    const mz_zip_error error = DeliverEntryData(nullptr, span, spanSize, 0, entry.method, entry.compressedSize,
                                                entry.uncompressedSize, entry.crc32, false, Collect, &collected);
    if (collected.outOfMemory) {
        data.clear();
        throw std::bad_alloc();
    }
    if (error != MZ_ZIP_NO_ERROR) {
        data.clear();
        return Fail(entry, error, reason);
    }
    return true;
}
