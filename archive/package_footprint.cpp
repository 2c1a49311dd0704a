#include "archive/archive.h"

#include <string>

namespace {

uint64_t AddCapped(uint64_t sum, uint64_t more)
{
    return more > UINT64_MAX - sum ? UINT64_MAX : sum + more;
}

} // namespace

uint64_t PackageDiskBytes(const ZipImage& image, uint64_t clusterBytes, uint64_t recordBytes)
{
    mz_zip_archive zip;
    std::string message;
    if (!OpenZipImage(image.bytes.get(), image.size, zip, message)) {
        return UINT64_MAX;
    }
    OpenZip opened(&zip);
    const uint64_t cluster = clusterBytes == 0 ? 1 : clusterBytes;
    uint64_t total = 0;
    const mz_uint count = mz_zip_reader_get_num_files(&zip);
    for (mz_uint index = 0; index < count; ++index) {
        mz_zip_archive_file_stat stat;
        if (!mz_zip_reader_file_stat(&zip, index, &stat)) {
            return UINT64_MAX;
        }
        total = AddCapped(total, recordBytes);
        if (!stat.m_is_directory) {
            // A file takes whole clusters, the last one partly empty; forged zip64 sizes must not wrap the sum.
            const uint64_t clusters = stat.m_uncomp_size / cluster + (stat.m_uncomp_size % cluster != 0 ? 1 : 0);
            total = clusters > UINT64_MAX / cluster ? UINT64_MAX : AddCapped(total, clusters * cluster);
        }
    }
    return total;
}
