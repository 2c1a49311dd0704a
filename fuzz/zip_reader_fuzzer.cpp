// Arbitrary bytes as an archive image, walked the way the extraction walks one: open, then for every entry stat,
// directory test and extraction into a sink that keeps only a short prefix, then the error slot and the end. The
// reader's answers are checked against what the image really holds, and all its memory goes through a counting
// allocator: nothing may be sized by what an archive claims. Each input is walked a second time with one of its
// allocations refused and a sink that gives up early, so the failure paths run too.
#include "archive/zipreader/zip_reader.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace {

// The reader's own buffers, whatever the image: its state, the 32 KiB output ring, zlib's inflate state and window.
constexpr size_t FIXED_BUFFERS_BYTES = 128 * 1024;
constexpr size_t RING_BYTES = 32768;
constexpr size_t LOCAL_HEADER_BYTES = 30;
constexpr size_t CENTRAL_HEADER_BYTES = 46;
constexpr size_t KEPT_BYTES = 4096;
// Output handed over per input before the sink starts refusing, so a ratio bomb stays a fast unit.
constexpr uint64_t DELIVERY_BUDGET_BYTES = 8u << 20;

[[noreturn]] void Finding(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("zip reader finding: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

#define EXPECT(condition, ...)                                                                                         \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            Finding(__VA_ARGS__);                                                                                      \
        }                                                                                                              \
    } while (false)

uint32_t CRC_TABLE[256];

// Written here rather than taken from zlib: zlib is not instrumented, this loop is, so every byte of every piece
// handed over is read where the address sanitizer can see it.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size)
{
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc = CRC_TABLE[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct Heap {
    size_t imageSize = 0;
    std::unordered_map<const void*, size_t> blocks;
    size_t liveBytes = 0;
    size_t requests = 0;
    size_t refuseRequest = SIZE_MAX;
    bool refused = false;
};

void* CountedAlloc(void* opaque, size_t items, size_t size)
{
    auto* heap = static_cast<Heap*>(opaque);
    EXPECT(size == 0 || items <= SIZE_MAX / size, "allocation of %zu items of %zu bytes overflows", items, size);
    const size_t bytes = items * size;
    // What the reader keeps is a copy of part of the image (the central directory), an offset per record (at most
    // 4 bytes per 46 bytes of image) and its fixed buffers; more than that was sized by a claim.
    EXPECT(bytes <= heap->imageSize + FIXED_BUFFERS_BYTES, "allocation of %zu bytes for an image of %zu", bytes,
           heap->imageSize);
    EXPECT(heap->liveBytes + bytes <= heap->imageSize + heap->imageSize / 8 + FIXED_BUFFERS_BYTES,
           "%zu bytes live after asking for %zu more, for an image of %zu", heap->liveBytes, bytes, heap->imageSize);
    if (heap->requests++ == heap->refuseRequest) {
        heap->refused = true;
        return nullptr;
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        return nullptr;
    }
    heap->blocks[block] = bytes;
    heap->liveBytes += bytes;
    return block;
}

void CountedFree(void* opaque, void* address)
{
    if (address == nullptr) {
        return;
    }
    auto* heap = static_cast<Heap*>(opaque);
    const auto block = heap->blocks.find(address);
    EXPECT(block != heap->blocks.end(), "free of %p, which did not come from m_pAlloc", address);
    heap->liveBytes -= block->second;
    heap->blocks.erase(block);
    std::free(address);
}

void* RefusedRealloc(void*, void*, size_t, size_t)
{
    Finding("the reader called m_pRealloc");
}

bool InsideHeapBlock(const Heap& heap, const uint8_t* data, size_t size)
{
    for (const auto& block : heap.blocks) {
        const auto* start = static_cast<const uint8_t*>(block.first);
        if (data >= start && size <= block.second && data - start <= static_cast<ptrdiff_t>(block.second - size)) {
            return true;
        }
    }
    return false;
}

struct Sink {
    Sink(const uint8_t* image_, size_t imageSize_, const Heap& heap_, uint64_t* budget_)
        : image(image_), imageSize(imageSize_), heap(&heap_), budget(budget_)
    {
    }

    const uint8_t* image;
    size_t imageSize;
    const Heap* heap;
    uint64_t* budget;
    bool deflated = false;
    uint64_t next = 0;
    size_t pieces = 0;
    uint32_t crc = 0;
    uint8_t kept[KEPT_BYTES];
    size_t keptSize = 0;
    bool refused = false;
};

size_t Collect(void* opaque, mz_uint64 offset, const void* data, size_t size)
{
    auto* sink = static_cast<Sink*>(opaque);
    const auto* bytes = static_cast<const uint8_t*>(data);
    EXPECT(size > 0, "empty piece at %" PRIu64, offset);
    EXPECT(offset == sink->next, "piece at %" PRIu64 " where %" PRIu64 " was due", offset, sink->next);
    EXPECT(!sink->deflated || offset / RING_BYTES == (offset + size - 1) / RING_BYTES,
           "inflated piece of %zu bytes at %" PRIu64 " crosses an output ring boundary", size, offset);
    const bool inImage = bytes >= sink->image && size <= sink->imageSize &&
                         static_cast<size_t>(bytes - sink->image) <= sink->imageSize - size;
    EXPECT(inImage || InsideHeapBlock(*sink->heap, bytes, size), "piece of %zu bytes at %p lies outside the image",
           size, data);
    sink->crc = Crc32(sink->crc, bytes, size);
    if (sink->keptSize < KEPT_BYTES) {
        const size_t room = KEPT_BYTES - sink->keptSize;
        const size_t kept = size < room ? size : room;
        std::memcpy(sink->kept + sink->keptSize, bytes, kept);
        sink->keptSize += kept;
    }
    sink->next += size;
    ++sink->pieces;
    if (*sink->budget < size) {
        sink->refused = true;
        return 0;
    }
    *sink->budget -= size;
    return size;
}

// Where the entry's data starts by its local header, when the header and the whole compressed range are in the
// image.
bool FindData(const mz_zip_archive_file_stat& stat, const uint8_t* image, size_t size, uint64_t* pDataOfs)
{
    const uint64_t local = stat.m_local_header_ofs;
    if (local > size || size - local < LOCAL_HEADER_BYTES) {
        return false;
    }
    const uint64_t dataOfs = local + LOCAL_HEADER_BYTES + Le16(image + local + 26) + Le16(image + local + 28);
    if (dataOfs > size || stat.m_comp_size > size - dataOfs) {
        return false;
    }
    *pDataOfs = dataOfs;
    return true;
}

void CheckEntry(mz_zip_archive* zip, mz_uint index, const uint8_t* image, size_t size, const Heap& heap,
                uint64_t* budget)
{
    mz_zip_archive_file_stat stat{};
    if (!mz_zip_reader_file_stat(zip, index, &stat)) {
        // Only a damaged zip64 extra field can fail the stat of an entry that exists; extraction must agree.
        EXPECT(mz_zip_get_last_error(zip) == MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, "stat %u failed with %d", index,
               mz_zip_peek_last_error(zip));
        Sink sink(image, size, heap, budget);
        EXPECT(!mz_zip_reader_extract_to_callback(zip, index, Collect, &sink, 0), "extracted entry %u without stat",
               index);
        EXPECT(sink.pieces == 0, "entry %u without stat delivered bytes", index);
        mz_zip_get_last_error(zip);
        return;
    }
    EXPECT(stat.m_file_index == index, "stat of %u reports index %u", index, stat.m_file_index);
    EXPECT(std::memchr(stat.m_filename, 0, sizeof(stat.m_filename)) != nullptr, "name of %u unterminated", index);
    // The name with its stored length: the stat's bytes (NULs included) up to the same 511-byte cap.
    char name[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    const mz_uint stored = mz_zip_reader_get_filename(zip, index, nullptr, 0);
    const mz_uint copied = mz_zip_reader_get_filename(zip, index, name, sizeof(name));
    EXPECT(stored >= 1 && copied == std::min<mz_uint>(stored, sizeof(name)) && name[copied - 1] == '\0' &&
               std::memcmp(name, stat.m_filename, copied) == 0,
           "name of %u with its length disagrees with the stat (%u, %u)", index, stored, copied);
    EXPECT(stat.m_comment_size < sizeof(stat.m_comment) && stat.m_comment[stat.m_comment_size] == '\0',
           "comment of %u: size %u unterminated", index, stat.m_comment_size);
    EXPECT(stat.m_central_dir_ofs + CENTRAL_HEADER_BYTES <= size, "record %u at %" PRIu64 " beyond the image", index,
           stat.m_central_dir_ofs);
    EXPECT(stat.m_is_directory == mz_zip_reader_is_file_a_directory(zip, index), "directory tests of %u disagree",
           index);
    EXPECT(stat.m_is_encrypted == mz_zip_reader_is_file_encrypted(zip, index), "encryption tests of %u disagree",
           index);
    mz_zip_get_last_error(zip);

    Sink sink(image, size, heap, budget);
    sink.deflated = stat.m_method == MZ_DEFLATED;
    const bool ok = mz_zip_reader_extract_to_callback(zip, index, Collect, &sink, 0) == MZ_TRUE;
    const mz_zip_error err = mz_zip_peek_last_error(zip);
    EXPECT(ok || err != MZ_ZIP_NO_ERROR, "extraction of %u failed without an error", index);
    EXPECT(mz_zip_get_error_string(mz_zip_get_last_error(zip)) != nullptr, "no text for error %d", err);

    uint64_t dataOfs = 0;
    const bool dataInImage = FindData(stat, image, size, &dataOfs);
    if (sink.pieces > 0) {
        EXPECT(!stat.m_is_directory && stat.m_comp_size != 0, "directory or empty entry %u delivered bytes", index);
        EXPECT(stat.m_method == 0 || stat.m_method == MZ_DEFLATED, "method %u of entry %u delivered bytes",
               stat.m_method, index);
        EXPECT((stat.m_bit_flag & 0x0061) == 0, "encrypted or patch entry %u delivered bytes", index);
        // zlib reads the compressed range uninstrumented: the reader must have bounded it by the image.
        EXPECT(dataInImage, "entry %u delivered bytes from data outside the image", index);
    }
    if (stat.m_method == 0 && sink.pieces > 0) {
        EXPECT(sink.pieces == 1 && sink.next == stat.m_comp_size, "stored entry %u came in %zu pieces", index,
               sink.pieces);
        const size_t compared = sink.keptSize;
        EXPECT(std::memcmp(sink.kept, image + dataOfs, compared) == 0, "stored entry %u is not the image's bytes",
               index);
    }
    if (sink.deflated) {
        // Output stops with the piece that passes the declared size.
        EXPECT(sink.next <= stat.m_uncomp_size || sink.next - stat.m_uncomp_size <= RING_BYTES,
               "entry %u delivered %" PRIu64 " for %" PRIu64, index, sink.next, stat.m_uncomp_size);
    }
    if (!ok) {
        return;
    }
    if (stat.m_is_directory || stat.m_comp_size == 0) {
        EXPECT(sink.pieces == 0, "directory or empty entry %u delivered bytes", index);
        return;
    }
    EXPECT(!sink.refused, "entry %u succeeded although the sink refused a piece", index);
    EXPECT(dataInImage, "entry %u succeeded with its data outside the image", index);
    EXPECT(sink.next == stat.m_uncomp_size, "entry %u succeeded with %" PRIu64 " bytes for %" PRIu64, index, sink.next,
           stat.m_uncomp_size);
    EXPECT(sink.crc == stat.m_crc32, "entry %u succeeded with CRC %08x for %08x", index, sink.crc, stat.m_crc32);
}

// Opens and walks the image once, handing over at most budget bytes of output; returns how many allocations were
// asked for.
size_t Walk(const uint8_t* data, size_t size, Heap& heap, uint64_t budget)
{
    mz_zip_archive zip{};
    zip.m_pAlloc = CountedAlloc;
    zip.m_pFree = CountedFree;
    zip.m_pRealloc = RefusedRealloc;
    zip.m_pAlloc_opaque = &heap;
    if (!mz_zip_reader_init_mem(&zip, data, size, 0)) {
        const mz_zip_error err = mz_zip_get_last_error(&zip);
        EXPECT(err != MZ_ZIP_NO_ERROR && mz_zip_get_error_string(err) != nullptr, "failed open without an error");
        EXPECT(!heap.refused || err == MZ_ZIP_ALLOC_FAILED, "refused allocation reported as %d", err);
        EXPECT(zip.m_pState == nullptr && zip.m_zip_mode == MZ_ZIP_MODE_INVALID, "failed open left a state");
        EXPECT(heap.blocks.empty(), "failed open left %zu blocks", heap.blocks.size());
        EXPECT(!mz_zip_reader_end(&zip), "end after a failed open succeeded");
        return heap.requests;
    }
    EXPECT(mz_zip_peek_last_error(&zip) == MZ_ZIP_NO_ERROR, "open succeeded with an error stored");
    EXPECT(zip.m_archive_size == size, "archive size %" PRIu64 " for %zu bytes", zip.m_archive_size, size);
    const mz_uint count = mz_zip_reader_get_num_files(&zip);
    // Each entry needs a central record of its own in the image.
    EXPECT(static_cast<uint64_t>(count) * CENTRAL_HEADER_BYTES <= size, "%u entries in %zu bytes", count, size);

    for (mz_uint index = 0; index < count; ++index) {
        CheckEntry(&zip, index, data, size, heap, &budget);
    }

    mz_zip_archive_file_stat stat{};
    EXPECT(!mz_zip_reader_file_stat(&zip, count, &stat), "stat past the last entry succeeded");
    EXPECT(mz_zip_get_last_error(&zip) == MZ_ZIP_INVALID_PARAMETER, "stat past the last entry: wrong error");
    Sink sink(data, size, heap, &budget);
    EXPECT(!mz_zip_reader_extract_to_callback(&zip, count, Collect, &sink, 0), "extract past the last entry");

    EXPECT(mz_zip_reader_end(&zip), "end failed");
    EXPECT(heap.blocks.empty(), "end left %zu blocks (%zu bytes)", heap.blocks.size(), heap.liveBytes);
    EXPECT(mz_zip_reader_get_num_files(&zip) == count, "count changed by end");
    return heap.requests;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        CRC_TABLE[n] = c;
    }
    // Entry times go through mktime; a fixed zone keeps runs comparable.
    setenv("TZ", "UTC", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Heap heap;
    heap.imageSize = size;
    const size_t requests = Walk(data, size, heap, DELIVERY_BUDGET_BYTES);
    if (requests == 0) {
        return 0;
    }
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 16777619u;
    }
    // The second walk also has its sink give up early, somewhere in the first 64 KiB of output.
    Heap refusing;
    refusing.imageSize = size;
    refusing.refuseRequest = hash % requests;
    Walk(data, size, refusing, (hash >> 8) % 65536);
    return 0;
}
