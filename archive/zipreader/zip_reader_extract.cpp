// Handing an entry's bytes to the caller: stored data straight from the image, deflated data through zlib's raw
// inflate in 32 KiB pieces, then the size and CRC-32 checks against the central directory.
#include "zip_reader.h"

#include "zip_reader_internal.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

using namespace zipreader;

namespace {

// Output is decoded into a ring of this size, so each piece handed over ends at a multiple of it or at the end of
// the entry: 100000 bytes arrive as 32768, 32768, 32768, 1696.
constexpr size_t OUTPUT_RING_BYTES = 32768;
// zlib counts bytes in 32-bit fields; larger buffers are passed in slices.
constexpr uInt ZLIB_SLICE_BYTES = 1u << 30;

uLong UpdateCrc(uLong crc, const mz_uint8* pData, size_t size)
{
    while (size > 0) {
        const uInt slice = size < ZLIB_SLICE_BYTES ? static_cast<uInt>(size) : ZLIB_SLICE_BYTES;
        crc = crc32(crc, pData, slice);
        pData += slice;
        size -= slice;
    }
    return crc;
}

// zlib's own state goes through the archive's allocator like every other allocation of the reader.
voidpf InflateAlloc(voidpf opaque, uInt items, uInt size)
{
    auto* pZip = static_cast<mz_zip_archive*>(opaque);
    return pZip->m_pAlloc(pZip->m_pAlloc_opaque, items, size);
}

void InflateFree(voidpf opaque, voidpf address)
{
    auto* pZip = static_cast<mz_zip_archive*>(opaque);
    pZip->m_pFree(pZip->m_pAlloc_opaque, address);
}

struct Delivery {
    mz_file_write_func pCallback;
    void* pOpaque;
    mz_uint64 total;
    uLong crc;
};

mz_zip_error InflateEntry(mz_zip_archive* pZip, const mz_uint8* pData, mz_uint64 compSize, mz_uint64 uncompSize,
                          mz_uint8* pRing, Delivery* pDelivery)
{
    z_stream stream{};
    if (pZip != nullptr) {
        stream.zalloc = InflateAlloc;
        stream.zfree = InflateFree;
        stream.opaque = pZip;
    }
    const int initResult = inflateInit2(&stream, -MAX_WBITS);
    if (initResult != Z_OK) {
        return initResult == Z_MEM_ERROR ? MZ_ZIP_ALLOC_FAILED : MZ_ZIP_INTERNAL_ERROR;
    }
    mz_uint64 inputLeft = compSize;
    mz_zip_error err = MZ_ZIP_NO_ERROR;
    for (;;) {
        if (stream.avail_in == 0 && inputLeft > 0) {
            const uInt slice = inputLeft < ZLIB_SLICE_BYTES ? static_cast<uInt>(inputLeft) : ZLIB_SLICE_BYTES;
            stream.next_in = const_cast<Bytef*>(pData);
            stream.avail_in = slice;
            pData += slice;
            inputLeft -= slice;
        }
        const size_t ringPos = static_cast<size_t>(pDelivery->total % OUTPUT_RING_BYTES);
        stream.next_out = pRing + ringPos;
        stream.avail_out = static_cast<uInt>(OUTPUT_RING_BYTES - ringPos);
        const int result = inflate(&stream, Z_NO_FLUSH);

        // What zlib wrote before stopping was really decoded, even when it stopped on an error, so it is passed on;
        // nothing past it is.
        const size_t produced = OUTPUT_RING_BYTES - ringPos - stream.avail_out;
        if (produced > 0) {
            if (pDelivery->pCallback(pDelivery->pOpaque, pDelivery->total, pRing + ringPos, produced) != produced) {
                err = MZ_ZIP_WRITE_CALLBACK_FAILED;
                break;
            }
            pDelivery->crc = UpdateCrc(pDelivery->crc, pRing + ringPos, produced);
            pDelivery->total += produced;
            if (pDelivery->total > uncompSize) {
                err = MZ_ZIP_DECOMPRESSION_FAILED;
                break;
            }
        }
        if (result == Z_STREAM_END) {
            break;
        }
        if (result == Z_OK) {
            continue;
        }
        // Z_BUF_ERROR here means the input ran out before the stream ended: a cut-short entry is as corrupt as a
        // malformed one, and the caller must not see "no error" for either.
        err = result == Z_MEM_ERROR ? MZ_ZIP_ALLOC_FAILED : MZ_ZIP_DECOMPRESSION_FAILED;
        break;
    }
    inflateEnd(&stream);
    return err;
}

} // namespace

namespace zipreader {

mz_zip_error DeliverEntryData(mz_zip_archive* pZip, const mz_uint8* pImage, mz_uint64 imageSize, mz_uint64 localOfs,
                              mz_uint16 method, mz_uint64 compSize, mz_uint64 uncompSize, mz_uint32 crc, bool rawData,
                              mz_file_write_func pCallback, void* pOpaque)
{
    if (localOfs > imageSize || imageSize - localOfs < LOCAL_HEADER_SIZE_BYTES) {
        return MZ_ZIP_FILE_READ_FAILED;
    }
    const mz_uint8* pLocal = pImage + localOfs;
    if (ReadLe32(pLocal) != LOCAL_HEADER_SIGNATURE) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    // Only the local name and extra lengths are used: sizes, CRC and the data-descriptor bit come from the central
    // record, which is what makes entries written with a trailing descriptor readable.
    const mz_uint64 dataOfs = localOfs + LOCAL_HEADER_SIZE_BYTES + ReadLe16(pLocal + 26) + ReadLe16(pLocal + 28);
    // Compared without a sum that could wrap for a forged 64-bit size.
    if (dataOfs > imageSize || compSize > imageSize - dataOfs) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    const mz_uint8* pData = pImage + dataOfs;

    Delivery delivery{pCallback, pOpaque, 0, crc32(0, nullptr, 0)};
    if (rawData || method == 0) {
        // Stored data goes out in one piece pointing into the caller's own image.
        const size_t size = static_cast<size_t>(compSize);
        if (pCallback(pOpaque, 0, pData, size) != size) {
            return MZ_ZIP_WRITE_CALLBACK_FAILED;
        }
        if (rawData) {
            return MZ_ZIP_NO_ERROR;
        }
        delivery.crc = UpdateCrc(delivery.crc, pData, size);
        delivery.total = size;
    } else {
        auto* pRing =
            static_cast<mz_uint8*>(pZip != nullptr ? pZip->m_pAlloc(pZip->m_pAlloc_opaque, 1, OUTPUT_RING_BYTES)
                                                   : std::malloc(OUTPUT_RING_BYTES));
        if (pRing == nullptr) {
            return MZ_ZIP_ALLOC_FAILED;
        }
        std::memset(pRing, 0, OUTPUT_RING_BYTES);
        const mz_zip_error err = InflateEntry(pZip, pData, compSize, uncompSize, pRing, &delivery);
        if (pZip != nullptr) {
            pZip->m_pFree(pZip->m_pAlloc_opaque, pRing);
        } else {
            std::free(pRing);
        }
        if (err != MZ_ZIP_NO_ERROR) {
            return err;
        }
    }

    if (delivery.total != uncompSize) {
        return MZ_ZIP_UNEXPECTED_DECOMPRESSED_SIZE;
    }
    // A wrong CRC-32 is reported as corrupt data, not with the separate CRC code.
    if (delivery.crc != crc) {
        return MZ_ZIP_DECOMPRESSION_FAILED;
    }
    return MZ_ZIP_NO_ERROR;
}

} // namespace zipreader

extern "C" {

mz_bool mz_zip_reader_extract_to_callback(mz_zip_archive* pZip, mz_uint file_index, mz_file_write_func pCallback,
                                          void* pOpaque, mz_uint flags)
{
    if (pZip == nullptr || pZip->m_pState == nullptr || pCallback == nullptr || pZip->m_pRead == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    mz_zip_archive_file_stat stat;
    if (!mz_zip_reader_file_stat(pZip, file_index, &stat)) {
        return MZ_FALSE;
    }
    // Directories and empty entries succeed without a look at their flags, method or local header.
    if (stat.m_is_directory || stat.m_comp_size == 0) {
        return MZ_TRUE;
    }
    if ((stat.m_bit_flag & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION | FLAG_PATCH_DATA)) != 0) {
        return Fail(pZip, MZ_ZIP_UNSUPPORTED_ENCRYPTION);
    }
    const bool rawData = (flags & MZ_ZIP_FLAG_COMPRESSED_DATA) != 0;
    if (!rawData && stat.m_method != 0 && stat.m_method != MZ_DEFLATED) {
        return Fail(pZip, MZ_ZIP_UNSUPPORTED_METHOD);
    }

    const mz_zip_error err =
        DeliverEntryData(pZip, pZip->m_pState->pMem, pZip->m_pState->memSize, stat.m_local_header_ofs, stat.m_method,
                         stat.m_comp_size, stat.m_uncomp_size, stat.m_crc32, rawData, pCallback, pOpaque);
    return err == MZ_ZIP_NO_ERROR ? MZ_TRUE : Fail(pZip, err);
}

} // extern "C"
