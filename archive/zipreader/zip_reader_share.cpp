// A second reader over an archive another reader has open: the pool threads that unpack one package each need a
// reader of their own (errors are kept per reader), but not a copy of its central directory each.
#include "zip_reader.h"

#include "zip_reader_internal.h"

using namespace zipreader;

extern "C" {

mz_bool ZipReaderShareDirectory(mz_zip_archive* pZip, const mz_zip_archive* pSource)
{
    if (pZip == nullptr || pZip->m_pState != nullptr || pZip->m_zip_mode != MZ_ZIP_MODE_INVALID || pSource == nullptr ||
        pSource->m_pState == nullptr || pSource->m_zip_mode != MZ_ZIP_MODE_READING) {
        return Fail(pZip, MZ_ZIP_INVALID_PARAMETER);
    }
    // The source's allocator frees this reader's state too, as it allocated it.
    pZip->m_pAlloc = pSource->m_pAlloc;
    pZip->m_pFree = pSource->m_pFree;
    pZip->m_pRealloc = pSource->m_pRealloc;
    pZip->m_pAlloc_opaque = pSource->m_pAlloc_opaque;
    auto* pState =
        static_cast<mz_zip_internal_state*>(pZip->m_pAlloc(pZip->m_pAlloc_opaque, 1, sizeof(mz_zip_internal_state)));
    if (pState == nullptr) {
        return Fail(pZip, MZ_ZIP_ALLOC_FAILED);
    }
    *pState = *pSource->m_pState;
    pState->sharesDirectory = true;
    pZip->m_pState = pState;
    pZip->m_zip_mode = MZ_ZIP_MODE_READING;
    pZip->m_zip_type = MZ_ZIP_TYPE_MEMORY;
    pZip->m_archive_size = pSource->m_archive_size;
    pZip->m_central_directory_file_ofs = pSource->m_central_directory_file_ofs;
    pZip->m_total_files = pSource->m_total_files;
    pZip->m_last_error = MZ_ZIP_NO_ERROR;
    pZip->m_pRead = ReadImage;
    pZip->m_pIO_opaque = pZip;
    pZip->m_pNeeds_keepalive = nullptr;
    return MZ_TRUE;
}

} // extern "C"
