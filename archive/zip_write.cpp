#include "archive/archive.h"

#include "fs/fs.h"

#include <algorithm>

namespace {

// WriteFile counts in 32 bits; a stored entry arrives from the zip library in one piece of any size.
const size_t WRITE_PIECE_BYTES = 0x4000000; // 64 MiB

} // namespace

size_t ZipWriteCallback(void* opaque, uint64_t, const void* data, size_t length)
{
    // The library delivers an entry's bytes in order, so appending is enough and the offset is not needed.
    ZipWriteContext* context = static_cast<ZipWriteContext*>(opaque);
    const char* bytes = static_cast<const char*>(data);
    size_t written = 0;
    while (written < length) {
        const DWORD piece = static_cast<DWORD>(std::min(length - written, WRITE_PIECE_BYTES));
        DWORD pieceWritten = 0;
        if (!WriteFile(context->file, bytes + written, piece, &pieceWritten, nullptr) || pieceWritten == 0) {
            context->ok = false;
            break;
        }
        written += pieceWritten;
    }
    // Any shortfall makes the library fail the entry.
    return written;
}

void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName)
{
    // Existing directories and names the file system refuses are both left to the open of the entry itself.
    for (size_t at = entryName.find(L'\\'); at != std::wstring::npos; at = entryName.find(L'\\', at + 1)) {
        CreateDirectoryW(MakeLongPath(root + entryName.substr(0, at)).c_str(), nullptr);
    }
}
