// One entry of a package read by ranges, unpacked from the bytes fetched for it with the checks the zip library makes
// on a whole package: the local header, where the data lies, the unpacked size and the CRC-32.
#include "archive/archive.h"

#include "archive/zipreader/zip_reader_internal.h"

#include <zlib.h>

#include <algorithm>

using namespace zipreader;

namespace {

// zlib counts bytes in 32-bit fields; larger buffers go in slices.
const uInt ZLIB_SLICE_BYTES = 1u << 30;
const size_t INFLATE_PIECE_BYTES = 256 * 1024;
// deflate cannot expand data by more than this factor, so a claimed size beyond it is never reserved up front.
const uint64_t DEFLATE_MAX_RATIO = 1032;

bool Fail(const RangedEntry& entry, mz_zip_error error, std::string& reason)
{
    reason = "failed extracting " + WideToUtf8(entry.path) + ": " + mz_zip_get_error_string(error);
    return false;
}

uLong CrcOf(const std::vector<uint8_t>& data)
{
    uLong crc = crc32(0, nullptr, 0);
    for (size_t done = 0; done < data.size();) {
        const uInt slice = static_cast<uInt>(std::min<size_t>(data.size() - done, ZLIB_SLICE_BYTES));
        crc = crc32(crc, data.data() + done, slice);
        done += slice;
    }
    return crc;
}

// Raw inflate of the whole entry; a stream that errs, ends early or outgrows the declared size is corrupt.
mz_zip_error Inflate(const unsigned char* input, uint64_t inputSize, uint64_t declaredSize, std::vector<uint8_t>& data)
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        return MZ_ZIP_INTERNAL_ERROR;
    }
    data.reserve(static_cast<size_t>(std::min({declaredSize, inputSize * DEFLATE_MAX_RATIO, PACKAGE_MAX_BYTES})));
    uint64_t inputLeft = inputSize;
    mz_zip_error error = MZ_ZIP_NO_ERROR;
    for (;;) {
        if (stream.avail_in == 0 && inputLeft > 0) {
            const uInt slice = static_cast<uInt>(std::min<uint64_t>(inputLeft, ZLIB_SLICE_BYTES));
            stream.next_in = const_cast<Bytef*>(input);
            stream.avail_in = slice;
            input += slice;
            inputLeft -= slice;
        }
        const size_t before = data.size();
        data.resize(before + INFLATE_PIECE_BYTES);
        stream.next_out = data.data() + before;
        stream.avail_out = static_cast<uInt>(INFLATE_PIECE_BYTES);
        const int result = inflate(&stream, Z_NO_FLUSH);
        data.resize(before + INFLATE_PIECE_BYTES - stream.avail_out);
        if (data.size() > declaredSize) {
            error = MZ_ZIP_DECOMPRESSION_FAILED;
            break;
        }
        if (result == Z_STREAM_END) {
            break;
        }
        if (result != Z_OK) {
            error = result == Z_MEM_ERROR ? MZ_ZIP_ALLOC_FAILED : MZ_ZIP_DECOMPRESSION_FAILED;
            break;
        }
    }
    inflateEnd(&stream);
    return error;
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
    if (spanSize < LOCAL_HEADER_SIZE_BYTES) {
        return Fail(entry, MZ_ZIP_FILE_READ_FAILED, reason);
    }
    if (ReadLe32(span) != LOCAL_HEADER_SIGNATURE) {
        return Fail(entry, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, reason);
    }
    // Only the local name and extra lengths count; sizes and CRC come from the central record.
    const size_t dataOffset = LOCAL_HEADER_SIZE_BYTES + ReadLe16(span + 26) + ReadLe16(span + 28);
    if (dataOffset > spanSize || entry.compressedSize > spanSize - dataOffset) {
        return Fail(entry, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED, reason);
    }
    const unsigned char* input = span + dataOffset;
    if (entry.method == 0) {
        data.assign(input, input + entry.compressedSize);
    } else {
        const mz_zip_error error = Inflate(input, entry.compressedSize, entry.uncompressedSize, data);
        if (error != MZ_ZIP_NO_ERROR) {
            data.clear();
            return Fail(entry, error, reason);
        }
    }
    if (data.size() != entry.uncompressedSize) {
        data.clear();
        return Fail(entry, MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE, reason);
    }
    // A wrong CRC-32 reads as corrupt data, as extraction reports it.
    if (CrcOf(data) != entry.crc32) {
        data.clear();
        return Fail(entry, MZ_ZIP_DECOMPRESSION_FAILED, reason);
    }
    return true;
}
