// The checks one central record must pass when a directory is opened, shared by the reader's open and by a
// directory read by ranges: which error a damaged or forged record gets is decided here once.
#include "zip_reader.h"

#include "zip_reader_internal.h"

using namespace zipreader;

namespace zipreader {

mz_zip_error CheckCentralRecord(const mz_uint8* pRecord, size_t remaining, mz_uint64 imageSize, mz_uint32 thisDisk,
                                OverlongExtraReader readOverlongExtra, const void* pContext, bool* pZip64ExtraSeen,
                                size_t* pRecordSize)
{
    if (remaining < CENTRAL_HEADER_SIZE_BYTES || ReadLe32(pRecord) != CENTRAL_HEADER_SIGNATURE) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    const mz_uint32 compSize = ReadLe32(pRecord + 20);
    const mz_uint32 uncompSize = ReadLe32(pRecord + 24);
    const mz_uint32 localOfs = ReadLe32(pRecord + 42);
    const size_t nameSize = ReadLe16(pRecord + 28);
    const size_t extraSize = ReadLe16(pRecord + 30);
    const size_t commentSize = ReadLe16(pRecord + 32);
    const bool anyMarker = compSize == ZIP64_MARKER_32 || uncompSize == ZIP64_MARKER_32 || localOfs == ZIP64_MARKER_32;

    if (!*pZip64ExtraSeen && extraSize > 0 && anyMarker) {
        const mz_uint8* pExtra = pRecord + CENTRAL_HEADER_SIZE_BYTES + nameSize;
        if (CENTRAL_HEADER_SIZE_BYTES + nameSize + extraSize > remaining) {
            // Such a record is refused further down anyway; where its extra bytes are looked for only decides which
            // error is reported.
            if (readOverlongExtra == nullptr) {
                return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
            }
            pExtra = readOverlongExtra(pContext, nameSize, extraSize);
            if (pExtra == nullptr) {
                return MZ_ZIP_FILE_READ_FAILED;
            }
        }
        const mz_uint8* pField = nullptr;
        size_t fieldSize = 0;
        const ExtraSearch search = FindZip64Extra(pExtra, extraSize, &pField, &fieldSize);
        if (search == ExtraSearch::malformed) {
            return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
        }
        if (search == ExtraSearch::found) {
            *pZip64ExtraSeen = true;
        }
    }

    if (compSize != ZIP64_MARKER_32 && uncompSize != ZIP64_MARKER_32) {
        // Offset 10 holds the method and the DOS time together: equal sizes are demanded of stored entries only when
        // the time is zero as well.
        const bool storedMismatch = ReadLe32(pRecord + 10) == 0 && uncompSize != compSize;
        if (storedMismatch || (uncompSize != 0 && compSize == 0)) {
            return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
        }
    }
    const mz_uint16 diskStart = ReadLe16(pRecord + 34);
    if (diskStart == 0xFFFF || (diskStart != thisDisk && diskStart != 1)) {
        return MZ_ZIP_UNSUPPORTED_MULTIDISK;
    }
    if (compSize != ZIP64_MARKER_32 &&
        static_cast<mz_uint64>(localOfs) + LOCAL_HEADER_SIZE_BYTES + compSize > imageSize) {
        return MZ_ZIP_INVALID_HEADER_OR_CORRUPTED;
    }
    if ((ReadLe16(pRecord + 8) & FLAG_LOCAL_HEADER_MASKED) != 0) {
        return MZ_ZIP_UNSUPPORTED_ENCRYPTION;
    }
    *pRecordSize = CENTRAL_HEADER_SIZE_BYTES + nameSize + extraSize + commentSize;
    return *pRecordSize > remaining ? MZ_ZIP_INVALID_HEADER_OR_CORRUPTED : MZ_ZIP_NO_ERROR;
}

} // namespace zipreader
