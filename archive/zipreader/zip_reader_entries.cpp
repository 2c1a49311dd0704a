// What the central directory says about one entry, and the error slot callers read afterwards.
#include "zip_reader.h"

#include "zip_reader_internal.h"

#include <cstring>
#include <ctime>

using namespace zipreader;

namespace {

constexpr size_t MAX_STORED_TEXT_BYTES = MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE - 1;

const char* const ERROR_TEXTS[] = {
    "no error",
    "undefined error",
    "too many files",
    "file too large",
    "unsupported method",
    "unsupported encryption",
    "unsupported feature",
    "failed finding central directory",
    "not a ZIP archive",
    "invalid header or archive is corrupted",
    "unsupported multidisk archive",
    "decompression failed or archive is corrupted",
    "compression failed",
    "unexpected decompressed size",
    "CRC-32 check failed",
    "unsupported central directory size",
    "allocation failed",
    "file open failed",
    "file create failed",
    "file write failed",
    "file read failed",
    "file close failed",
    "file seek failed",
    "file stat failed",
    "invalid parameter",
    "invalid filename",
    "buffer too small",
    "internal error",
    "file not found",
    "archive is too large",
    "validation failed",
    "write callback failed",
    "total errors",
};
static_assert(sizeof(ERROR_TEXTS) / sizeof(ERROR_TEXTS[0]) == MZ_ZIP_TOTAL_ERRORS + 1, "one text per error code");

// The central record of an entry, or nullptr when the archive is not open or the index is out of range.
const mz_uint8* FindRecord(const mz_zip_archive* pZip, mz_uint index)
{
    if (pZip == nullptr || pZip->m_pState == nullptr || index >= pZip->m_total_files ||
        index >= pZip->m_pState->recordCount) {
        return nullptr;
    }
    return pZip->m_pState->pCentralDir + pZip->m_pState->pRecordOffsets[index];
}

// DOS date and time as local time; out-of-range parts (a zero date) are normalised by mktime.
time_t DosToTime(mz_uint16 dosTime, mz_uint16 dosDate)
{
    std::tm parts{};
    parts.tm_isdst = -1;
    parts.tm_year = ((dosDate >> 9) & 127) + 1980 - 1900;
    parts.tm_mon = ((dosDate >> 5) & 15) - 1;
    parts.tm_mday = dosDate & 31;
    parts.tm_hour = (dosTime >> 11) & 31;
    parts.tm_min = (dosTime >> 5) & 63;
    parts.tm_sec = (dosTime << 1) & 62;
    return std::mktime(&parts);
}

size_t CopyText(char* pDest, const mz_uint8* pSource, size_t size)
{
    const size_t kept = size < MAX_STORED_TEXT_BYTES ? size : MAX_STORED_TEXT_BYTES;
    std::memcpy(pDest, pSource, kept);
    pDest[kept] = '\0';
    return kept;
}

} // namespace

extern "C" {

mz_uint mz_zip_reader_get_filename(mz_zip_archive* pZip, mz_uint file_index, char* pFilename, mz_uint filename_buf_size)
{
    const mz_uint8* pRecord = FindRecord(pZip, file_index);
    if (pRecord == nullptr) {
        if (filename_buf_size != 0) {
            pFilename[0] = '\0';
        }
        Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
        return 0;
    }
    const mz_uint nameSize = ReadLe16(pRecord + 28);
    if (filename_buf_size == 0) {
        return nameSize + 1;
    }
    const mz_uint kept = nameSize < filename_buf_size - 1 ? nameSize : filename_buf_size - 1;
    std::memcpy(pFilename, pRecord + CENTRAL_HEADER_SIZE_BYTES, kept);
    pFilename[kept] = '\0';
    return kept + 1;
}

mz_bool mz_zip_reader_file_stat(mz_zip_archive* pZip, mz_uint file_index, mz_zip_archive_file_stat* pStat)
{
    const mz_uint8* pRecord = FindRecord(pZip, file_index);
    if (pRecord == nullptr || pStat == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    pStat->m_file_index = file_index;
    pStat->m_central_dir_ofs = pZip->m_pState->pRecordOffsets[file_index];
    pStat->m_version_made_by = ReadLe16(pRecord + 4);
    pStat->m_version_needed = ReadLe16(pRecord + 6);
    pStat->m_bit_flag = ReadLe16(pRecord + 8);
    pStat->m_method = ReadLe16(pRecord + 10);
    pStat->m_time = DosToTime(ReadLe16(pRecord + 12), ReadLe16(pRecord + 14));
    pStat->m_crc32 = ReadLe32(pRecord + 16);
    pStat->m_comp_size = ReadLe32(pRecord + 20);
    pStat->m_uncomp_size = ReadLe32(pRecord + 24);
    pStat->m_internal_attr = ReadLe16(pRecord + 36);
    pStat->m_external_attr = ReadLe32(pRecord + 38);
    pStat->m_local_header_ofs = ReadLe32(pRecord + 42);

    const size_t nameSize = ReadLe16(pRecord + 28);
    const size_t extraSize = ReadLe16(pRecord + 30);
    const mz_uint8* pName = pRecord + CENTRAL_HEADER_SIZE_BYTES;
    CopyText(pStat->m_filename, pName, nameSize);
    pStat->m_comment_size =
        static_cast<mz_uint32>(CopyText(pStat->m_comment, pName + nameSize + extraSize, ReadLe16(pRecord + 32)));

    pStat->m_is_directory = mz_zip_reader_is_file_a_directory(pZip, file_index);
    pStat->m_is_encrypted = mz_zip_reader_is_file_encrypted(pZip, file_index);
    // Stores why an entry cannot be extracted even though the stat itself succeeds; callers rely on reading it.
    pStat->m_is_supported = mz_zip_reader_is_file_supported(pZip, file_index);

    if (!ApplyZip64Extra(pRecord, &pStat->m_uncomp_size, &pStat->m_comp_size, &pStat->m_local_header_ofs)) {
        return Fail(pZip, MZ_ZIP_INVALID_HEADER_OR_CORRUPTED);
    }
    return MZ_TRUE;
}

mz_bool mz_zip_reader_is_file_a_directory(mz_zip_archive* pZip, mz_uint file_index)
{
    const mz_uint8* pRecord = FindRecord(pZip, file_index);
    if (pRecord == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    // The full stored name counts, not the 511 bytes a stat keeps; only '/' marks a directory.
    const size_t nameSize = ReadLe16(pRecord + 28);
    if (nameSize > 0 && pRecord[CENTRAL_HEADER_SIZE_BYTES + nameSize - 1] == '/') {
        return MZ_TRUE;
    }
    return (ReadLe32(pRecord + 38) & DOS_DIRECTORY_ATTRIBUTE) != 0 ? MZ_TRUE : MZ_FALSE;
}

mz_bool mz_zip_reader_is_file_encrypted(mz_zip_archive* pZip, mz_uint file_index)
{
    const mz_uint8* pRecord = FindRecord(pZip, file_index);
    if (pRecord == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    return (ReadLe16(pRecord + 8) & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION)) != 0 ? MZ_TRUE : MZ_FALSE;
}

mz_bool mz_zip_reader_is_file_supported(mz_zip_archive* pZip, mz_uint file_index)
{
    const mz_uint8* pRecord = FindRecord(pZip, file_index);
    if (pRecord == nullptr) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    const mz_uint16 flags = ReadLe16(pRecord + 8);
    const mz_uint16 method = ReadLe16(pRecord + 10);
    if (method != 0 && method != MZ_DEFLATED) {
        return Fail(pZip, MZ_ZIP_UNSUPPORTED_METHOD);
    }
    if ((flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION)) != 0) {
        return Fail(pZip, MZ_ZIP_UNSUPPORTED_ENCRYPTION);
    }
    if ((flags & FLAG_PATCH_DATA) != 0) {
        return Fail(pZip, MZ_ZIP_UNSUPPORTED_FEATURE);
    }
    return MZ_TRUE;
}

mz_zip_error mz_zip_get_last_error(mz_zip_archive* pZip)
{
    if (pZip == nullptr) {
        return MZ_ZIP_INVALID_PARAMETER;
    }
    const mz_zip_error err = pZip->m_last_error;
    pZip->m_last_error = MZ_ZIP_NO_ERROR;
    return err;
}

mz_zip_error mz_zip_peek_last_error(mz_zip_archive* pZip)
{
    if (pZip == nullptr) {
        return MZ_ZIP_INVALID_PARAMETER;
    }
    return pZip->m_last_error;
}

const char* mz_zip_get_error_string(mz_zip_error mz_err)
{
    const int code = static_cast<int>(mz_err);
    if (code < 0 || code > MZ_ZIP_TOTAL_ERRORS) {
        return "unknown error";
    }
    return ERROR_TEXTS[code];
}

} // extern "C"

namespace zipreader {

bool ApplyZip64Extra(const mz_uint8* pRecord, mz_uint64* pUncompSize, mz_uint64* pCompSize, mz_uint64* pLocalOfs)
{
    const mz_uint32 compSize = ReadLe32(pRecord + 20);
    const mz_uint32 uncompSize = ReadLe32(pRecord + 24);
    const mz_uint32 localOfs = ReadLe32(pRecord + 42);
    const size_t extraSize = ReadLe16(pRecord + 30);
    if (extraSize == 0 ||
        (compSize != ZIP64_MARKER_32 && uncompSize != ZIP64_MARKER_32 && localOfs != ZIP64_MARKER_32)) {
        return true;
    }
    const mz_uint8* pField = nullptr;
    size_t fieldSize = 0;
    const ExtraSearch search =
        FindZip64Extra(pRecord + CENTRAL_HEADER_SIZE_BYTES + ReadLe16(pRecord + 28), extraSize, &pField, &fieldSize);
    if (search == ExtraSearch::malformed) {
        return false;
    }
    if (search == ExtraSearch::absent) {
        return true;
    }
    const struct {
        mz_uint32 value32;
        mz_uint64* pValue;
    } replacements[] = {
        {uncompSize, pUncompSize},
        {compSize, pCompSize},
        {localOfs, pLocalOfs},
    };
    for (const auto& replacement : replacements) {
        if (replacement.value32 != ZIP64_MARKER_32) {
            continue;
        }
        if (fieldSize < 8) {
            return false;
        }
        *replacement.pValue = ReadLe64(pField);
        pField += 8;
        fieldSize -= 8;
    }
    return true;
}

} // namespace zipreader
