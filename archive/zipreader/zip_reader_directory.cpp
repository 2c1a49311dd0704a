// Opening an archive image: locating the end record, the zip64 records and the central directory, and checking
// every central record once so later calls can trust their bounds.
#include "zip_reader.h"

#include "zip_reader_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace zipreader;

// Callers built against the original library's header share these structs with this reader.
#if defined(__x86_64__) || defined(_M_X64)
static_assert(sizeof(mz_zip_archive) == 112, "mz_zip_archive layout");
static_assert(sizeof(mz_zip_archive_file_stat) == 1112, "mz_zip_archive_file_stat layout");
static_assert(offsetof(mz_zip_archive_file_stat, m_local_header_ofs) == 56, "mz_zip_archive_file_stat layout");
static_assert(offsetof(mz_zip_archive_file_stat, m_filename) == 80, "mz_zip_archive_file_stat layout");
static_assert(offsetof(mz_zip_archive_file_stat, m_time) == 1104, "mz_zip_archive_file_stat layout");
#endif

namespace {

// The end record is searched from the end of the image back to this depth: far enough for a record followed by a
// full 65535-byte comment, plus some slack for junk appended after the archive.
constexpr size_t END_RECORD_SEARCH_DEPTH_BYTES = 69584;
constexpr size_t ZIP64_MIN_END_RECORD_REMAINDER_BYTES = 44;

void* DefaultAlloc(void*, size_t items, size_t size)
{
    if (size != 0 && items > SIZE_MAX / size) {
        return nullptr;
    }
    return std::malloc(items * size);
}

void DefaultFree(void*, void* address)
{
    std::free(address);
}

void* DefaultRealloc(void*, void* address, size_t items, size_t size)
{
    if (size != 0 && items > SIZE_MAX / size) {
        return nullptr;
    }
    return std::realloc(address, items * size);
}

void ReleaseState(mz_zip_archive* pZip)
{
    mz_zip_internal_state* pState = pZip->m_pState;
    if (pState->pCentralDir != nullptr && !pState->sharesDirectory) {
        pZip->m_pFree(pZip->m_pAlloc_opaque, pState->pCentralDir);
    }
    if (pState->pRecordOffsets != nullptr && !pState->sharesDirectory) {
        pZip->m_pFree(pZip->m_pAlloc_opaque, pState->pRecordOffsets);
    }
    pZip->m_pFree(pZip->m_pAlloc_opaque, pState);
    pZip->m_pState = nullptr;
    pZip->m_zip_mode = MZ_ZIP_MODE_INVALID;
}

// The highest offset holding the end-record signature with a whole record after it; that one wins even when it
// sits inside a comment.
bool FindEndRecord(const mz_uint8* pMem, size_t size, size_t* pOfs)
{
    const size_t lowest = size > END_RECORD_SEARCH_DEPTH_BYTES ? size - END_RECORD_SEARCH_DEPTH_BYTES : 0;
    for (size_t ofs = size - END_RECORD_SIZE_BYTES + 1; ofs-- > lowest;) {
        if (ReadLe32(pMem + ofs) == END_RECORD_SIGNATURE) {
            *pOfs = ofs;
            return true;
        }
    }
    return false;
}

struct DirectoryInfo {
    mz_uint64 entriesOnDisk;
    mz_uint32 thisDisk;
    mz_uint32 directoryDisk;
    mz_uint64 directorySize;
    mz_uint64 directoryOfs;
};

// Reads the end record and, when a zip64 locator points at a zip64 end record, takes the directory from there.
mz_zip_error ReadEndRecords(mz_zip_archive* pZip, DirectoryInfo* pInfo)
{
    const mz_zip_internal_state* pState = pZip->m_pState;
    const size_t size = pState->memSize;
    size_t endOfs = 0;
    if (!FindEndRecord(pState->pMem, size, &endOfs)) {
        return MZ_ZIP_FAILED_FINDING_CENTRAL_DIR;
    }
    const mz_uint8* pEnd = pState->pMem + endOfs;

    const mz_uint8* pLocator = nullptr;
    const mz_uint8* pEnd64 = nullptr;
    if (endOfs >= ZIP64_LOCATOR_SIZE_BYTES + ZIP64_END_RECORD_SIZE_BYTES) {
        pLocator = pEnd - ZIP64_LOCATOR_SIZE_BYTES;
        if (ReadLe32(pLocator) == ZIP64_LOCATOR_SIGNATURE) {
            const mz_uint64 end64Ofs = ReadLe64(pLocator + 8);
            if (end64Ofs > size - ZIP64_END_RECORD_SIZE_BYTES) {
                return MZ_ZIP_NOT_AN_ARCHIVE;
            }
            if (ReadLe32(pState->pMem + end64Ofs) == ZIP64_END_RECORD_SIGNATURE) {
                pEnd64 = pState->pMem + end64Ofs;
            }
        }
    }

    pZip->m_total_files = ReadLe16(pEnd + 10);
    pInfo->entriesOnDisk = ReadLe16(pEnd + 8);
    pInfo->thisDisk = ReadLe16(pEnd + 4);
    pInfo->directoryDisk = ReadLe16(pEnd + 6);
    pInfo->directorySize = ReadLe32(pEnd + 12);
    pInfo->directoryOfs = ReadLe32(pEnd + 16);
    if (pEnd64 == nullptr) {
        return MZ_ZIP_NO_ERROR;
    }

    // The zip64 values replace the classic ones whatever the classic ones hold.
    if (ReadLe64(pEnd64 + 4) < ZIP64_MIN_END_RECORD_REMAINDER_BYTES) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    if (ReadLe32(pLocator + 16) != 1) {
        return MZ_ZIP_UNSUPPORTED_MULTIDISK;
    }
    const mz_uint64 total = ReadLe64(pEnd64 + 32);
    if (total > UINT32_MAX) {
        return MZ_ZIP_TOO_MANY_FILES;
    }
    pZip->m_total_files = static_cast<mz_uint32>(total);
    pInfo->entriesOnDisk = ReadLe64(pEnd64 + 24);
    if (pInfo->entriesOnDisk > UINT32_MAX) {
        return MZ_ZIP_TOO_MANY_FILES;
    }
    pInfo->directorySize = ReadLe64(pEnd64 + 40);
    if (pInfo->directorySize > UINT32_MAX) {
        return MZ_ZIP_UNSUPPORTED_CDIR_SIZE;
    }
    pInfo->thisDisk = ReadLe32(pEnd64 + 16);
    pInfo->directoryDisk = ReadLe32(pEnd64 + 20);
    pInfo->directoryOfs = ReadLe64(pEnd64 + 48);
    return MZ_ZIP_NO_ERROR;
}

// Where the library has always looked for the extra bytes of a record that runs past the directory: the directory
// start plus the header and this record's name.
struct OverlongExtraPlace {
    const mz_zip_internal_state* pState;
    mz_uint64 directoryOfs;
};

const mz_uint8* ReadOverlongExtra(const void* pContext, size_t nameSize, size_t extraSize)
{
    const auto* pPlace = static_cast<const OverlongExtraPlace*>(pContext);
    return ImageBytes(pPlace->pState, pPlace->directoryOfs + CENTRAL_HEADER_SIZE_BYTES + nameSize, extraSize);
}

// The checks every central record must pass at open time.
mz_zip_error CheckRecords(mz_zip_archive* pZip, const DirectoryInfo& info)
{
    mz_zip_internal_state* pState = pZip->m_pState;
    const OverlongExtraPlace place{pState, info.directoryOfs};
    size_t pos = 0;
    for (mz_uint32 index = 0; index < pState->recordCount; ++index) {
        size_t recordSize = 0;
        const mz_zip_error err =
            CheckCentralRecord(pState->pCentralDir + pos, pState->centralDirSize - pos, pState->memSize, info.thisDisk,
                               ReadOverlongExtra, &place, &pState->zip64ExtraSeen, &recordSize);
        if (err != MZ_ZIP_NO_ERROR) {
            return err;
        }
        pState->pRecordOffsets[index] = static_cast<mz_uint32>(pos);
        pos += recordSize;
    }
    return MZ_ZIP_NO_ERROR;
}

mz_zip_error ReadCentralDirectory(mz_zip_archive* pZip)
{
    mz_zip_internal_state* pState = pZip->m_pState;
    DirectoryInfo info{};
    const mz_zip_error endError = ReadEndRecords(pZip, &info);
    if (endError != MZ_ZIP_NO_ERROR) {
        return endError;
    }
    const mz_uint64 total = pZip->m_total_files;
    if (total != info.entriesOnDisk) {
        return MZ_ZIP_UNSUPPORTED_MULTIDISK;
    }
    if ((info.thisDisk != 0 || info.directoryDisk != 0) && !(info.thisDisk == 1 && info.directoryDisk == 1)) {
        return MZ_ZIP_UNSUPPORTED_MULTIDISK;
    }
    if (info.directorySize < total * CENTRAL_HEADER_SIZE_BYTES) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    // The sum may wrap for a forged 64-bit offset; such a directory is refused at the copy below as a read
    // failure, the error callers have always seen for it.
    if (info.directoryOfs + info.directorySize > pState->memSize) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    pZip->m_central_directory_file_ofs = info.directoryOfs;
    if (total == 0) {
        return MZ_ZIP_NO_ERROR;
    }

    // Nothing is allocated for a directory the image cannot hold, whatever the records claim.
    const mz_uint8* pDirectory = ImageBytes(pState, info.directoryOfs, info.directorySize);
    if (pDirectory == nullptr) {
        return MZ_ZIP_FILE_READ_FAILED;
    }
    pState->centralDirSize = static_cast<size_t>(info.directorySize);
    pState->pCentralDir = static_cast<mz_uint8*>(pZip->m_pAlloc(pZip->m_pAlloc_opaque, 1, pState->centralDirSize));
    pState->pRecordOffsets =
        static_cast<mz_uint32*>(pZip->m_pAlloc(pZip->m_pAlloc_opaque, static_cast<size_t>(total), sizeof(mz_uint32)));
    if (pState->pCentralDir == nullptr || pState->pRecordOffsets == nullptr) {
        return MZ_ZIP_ALLOC_FAILED;
    }
    std::memcpy(pState->pCentralDir, pDirectory, pState->centralDirSize);
    pState->recordCount = static_cast<mz_uint32>(total);
    return CheckRecords(pZip, info);
}

} // namespace

namespace zipreader {

// The reader installed in m_pRead: copies what the image holds at ofs, which may be less than asked.
size_t ReadImage(void* pOpaque, mz_uint64 ofs, void* pBuf, size_t n)
{
    const auto* pZip = static_cast<const mz_zip_archive*>(pOpaque);
    const mz_zip_internal_state* pState = pZip->m_pState;
    if (pState == nullptr || ofs >= pState->memSize) {
        return 0;
    }
    const size_t available = static_cast<size_t>(pState->memSize - ofs);
    const size_t count = n < available ? n : available;
    std::memcpy(pBuf, pState->pMem + ofs, count);
    return count;
}

mz_bool Fail(mz_zip_archive* pZip, mz_zip_error err)
{
    if (pZip != nullptr) {
        pZip->m_last_error = err;
    }
    return MZ_FALSE;
}

const mz_uint8* ImageBytes(const mz_zip_internal_state* pState, mz_uint64 ofs, mz_uint64 n)
{
    if (ofs > pState->memSize || n > pState->memSize - ofs) {
        return nullptr;
    }
    return pState->pMem + ofs;
}

ExtraSearch FindZip64Extra(const mz_uint8* pExtra, size_t extraSize, const mz_uint8** ppField, size_t* pFieldSize)
{
    size_t remaining = extraSize;
    while (remaining > 0) {
        if (remaining < 4) {
            return ExtraSearch::malformed;
        }
        const mz_uint16 id = ReadLe16(pExtra);
        const size_t fieldSize = ReadLe16(pExtra + 2);
        if (fieldSize > remaining - 4) {
            return ExtraSearch::malformed;
        }
        if (id == ZIP64_EXTRA_ID) {
            *ppField = pExtra + 4;
            *pFieldSize = fieldSize;
            return ExtraSearch::found;
        }
        pExtra += 4 + fieldSize;
        remaining -= 4 + fieldSize;
    }
    return ExtraSearch::absent;
}

} // namespace zipreader

extern "C" {

mz_bool mz_zip_reader_init_mem(mz_zip_archive* pZip, const void* pMem, size_t size, mz_uint flags)
{
    (void)flags; // the flags only change the order of a name index this reader does not need
    if (pMem == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    // Checked before the open-archive test, so a too-short image is reported even on an archive already open.
    if (size < END_RECORD_SIZE_BYTES) {
        return Fail(pZip, MZ_ZIP_NOT_AN_ARCHIVE);
    }
    if (pZip == nullptr || pZip->m_pState != nullptr || pZip->m_zip_mode != MZ_ZIP_MODE_INVALID) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }

    if (pZip->m_pAlloc == nullptr) {
        pZip->m_pAlloc = DefaultAlloc;
    }
    if (pZip->m_pFree == nullptr) {
        pZip->m_pFree = DefaultFree;
    }
    if (pZip->m_pRealloc == nullptr) {
        pZip->m_pRealloc = DefaultRealloc;
    }
    pZip->m_archive_size = 0;
    pZip->m_central_directory_file_ofs = 0;
    pZip->m_total_files = 0;
    pZip->m_last_error = MZ_ZIP_NO_ERROR;

    auto* pState =
        static_cast<mz_zip_internal_state*>(pZip->m_pAlloc(pZip->m_pAlloc_opaque, 1, sizeof(mz_zip_internal_state)));
    if (pState == nullptr) {
        return Fail(pZip, MZ_ZIP_ALLOC_FAILED);
    }
    *pState = mz_zip_internal_state{};
    pState->pMem = static_cast<const mz_uint8*>(pMem);
    pState->memSize = size;
    pZip->m_pState = pState;
    pZip->m_zip_mode = MZ_ZIP_MODE_READING;
    pZip->m_zip_type = MZ_ZIP_TYPE_MEMORY;
    pZip->m_archive_size = size;
    pZip->m_pRead = ReadImage;
    pZip->m_pIO_opaque = pZip;
    pZip->m_pNeeds_keepalive = nullptr;

    const mz_zip_error err = ReadCentralDirectory(pZip);
    if (err != MZ_ZIP_NO_ERROR) {
        ReleaseState(pZip);
        return Fail(pZip, err);
    }
    return MZ_TRUE;
}

mz_uint mz_zip_reader_get_num_files(mz_zip_archive* pZip)
{
    return pZip != nullptr ? pZip->m_total_files : 0;
}

mz_bool mz_zip_reader_end(mz_zip_archive* pZip)
{
    if (pZip == nullptr) {
        return MZ_FALSE;
    }
    if (pZip->m_pState == nullptr || pZip->m_pAlloc == nullptr || pZip->m_pFree == nullptr ||
        pZip->m_zip_mode != MZ_ZIP_MODE_READING) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    ReleaseState(pZip);
    return MZ_TRUE;
}

} // extern "C"
