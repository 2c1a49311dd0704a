#pragma once

#include "zip_reader.h"

#include <cstddef>
#include <cstdint>

// What an open archive keeps: the caller's image and a private copy of its central directory, so later changes to
// the image cannot alter names, sizes or flags. Nothing here changes after the open: readers on other threads may
// share the copy and the record offsets, which then belong to the reader that made them.
struct mz_zip_internal_state_tag {
    const mz_uint8* pMem;
    size_t memSize;
    mz_uint8* pCentralDir;
    size_t centralDirSize;
    mz_uint32* pRecordOffsets; // one per entry, from the start of the central directory
    mz_uint32 recordCount;
    bool zip64ExtraSeen;
    bool sharesDirectory; // the directory and the offsets are another reader's, freed when that one ends
};

namespace zipreader {

constexpr mz_uint32 LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr mz_uint32 CENTRAL_HEADER_SIGNATURE = 0x02014b50;
constexpr mz_uint32 END_RECORD_SIGNATURE = 0x06054b50;
constexpr mz_uint32 ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr mz_uint32 ZIP64_END_RECORD_SIGNATURE = 0x06064b50;
constexpr size_t LOCAL_HEADER_SIZE_BYTES = 30;
constexpr size_t CENTRAL_HEADER_SIZE_BYTES = 46;
constexpr size_t END_RECORD_SIZE_BYTES = 22;
constexpr size_t ZIP64_LOCATOR_SIZE_BYTES = 20;
constexpr size_t ZIP64_END_RECORD_SIZE_BYTES = 56;
constexpr mz_uint16 ZIP64_EXTRA_ID = 0x0001;
constexpr mz_uint32 ZIP64_MARKER_32 = 0xFFFFFFFFu;

constexpr mz_uint16 FLAG_ENCRYPTED = 0x0001;
constexpr mz_uint16 FLAG_PATCH_DATA = 0x0020;
constexpr mz_uint16 FLAG_STRONG_ENCRYPTION = 0x0040;
constexpr mz_uint16 FLAG_LOCAL_HEADER_MASKED = 0x2000;
constexpr mz_uint32 DOS_DIRECTORY_ATTRIBUTE = 0x10;

inline mz_uint16 ReadLe16(const mz_uint8* p)
{
    return static_cast<mz_uint16>(p[0] | (p[1] << 8));
}

inline mz_uint32 ReadLe32(const mz_uint8* p)
{
    return static_cast<mz_uint32>(p[0]) | (static_cast<mz_uint32>(p[1]) << 8) | (static_cast<mz_uint32>(p[2]) << 16) |
           (static_cast<mz_uint32>(p[3]) << 24);
}

inline mz_uint64 ReadLe64(const mz_uint8* p)
{
    return static_cast<mz_uint64>(ReadLe32(p)) | (static_cast<mz_uint64>(ReadLe32(p + 4)) << 32);
}

// Stores err in the archive (when there is one) and returns MZ_FALSE, so failures read `return Fail(pZip, ...)`.
mz_bool Fail(mz_zip_archive* pZip, mz_zip_error err);

// The reader installed in m_pRead, with the archive itself as its opaque value: copies what the image holds at ofs,
// which may be less than asked.
size_t ReadImage(void* pOpaque, mz_uint64 ofs, void* pBuf, size_t n);

// The image bytes [ofs, ofs + n), or nullptr when any of them lies outside the image.
const mz_uint8* ImageBytes(const mz_zip_internal_state* pState, mz_uint64 ofs, mz_uint64 n);

enum class ExtraSearch { found, absent, malformed };

// Walks the (id, size) pairs of an extra field for the zip64 block; on success *ppField and *pFieldSize describe it.
ExtraSearch FindZip64Extra(const mz_uint8* pExtra, size_t extraSize, const mz_uint8** ppField, size_t* pFieldSize);

// Finds the extra bytes of a record that runs past the directory, given its name and extra lengths; null when the
// archive does not hold them.
using OverlongExtraReader = const mz_uint8* (*)(const void* pContext, size_t nameSize, size_t extraSize);

// The checks every central record must pass when a directory is opened, in the order that decides which error is
// reported: the record at pRecord with remaining directory bytes from it, in an archive of imageSize bytes whose end
// record names disk thisDisk. The zip64 block is checked while *pZip64ExtraSeen is false, which a valid one sets.
// A record that runs past the directory has its extra bytes from readOverlongExtra(pContext, ...) (null: not at hand,
// the record is refused as corrupt). On success *pRecordSize is the record's length.
mz_zip_error CheckCentralRecord(const mz_uint8* pRecord, size_t remaining, mz_uint64 imageSize, mz_uint32 thisDisk,
                                OverlongExtraReader readOverlongExtra, const void* pContext, bool* pZip64ExtraSeen,
                                size_t* pRecordSize);

// Hands the data of an entry whose local header lies at localOfs of the image [pImage, pImage + imageSize) to
// pCallback: stored data in one piece, deflated data (method 8) inflated piece by piece, raw data as it lies; then,
// unless raw, the size and CRC-32 checks against the central record's values. pZip (may be null: the C library's
// allocator) lends its allocator. The error code, MZ_ZIP_NO_ERROR when every check passed.
mz_zip_error DeliverEntryData(mz_zip_archive* pZip, const mz_uint8* pImage, mz_uint64 imageSize, mz_uint64 localOfs,
                              mz_uint16 method, mz_uint64 compSize, mz_uint64 uncompSize, mz_uint32 crc, bool rawData,
                              mz_file_write_func pCallback, void* pOpaque);

// Replaces the record's 32-bit values marked 0xFFFFFFFF (already in *pUncompSize, *pCompSize, *pLocalOfs) by the
// zip64 extra field's 64-bit ones, in the field's order; false when the field is malformed or too short for them.
bool ApplyZip64Extra(const mz_uint8* pRecord, mz_uint64* pUncompSize, mz_uint64* pCompSize, mz_uint64* pLocalOfs);

} // namespace zipreader
