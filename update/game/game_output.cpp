// The new game on its way to disk, from whichever form it is made: created anew, written and hashed block by block,
// and kept only with the listed digest.
#include "update/game/game_forms.h"

#include <algorithm>

namespace {

// WriteFile counts in 32 bits.
const size_t WRITE_PIECE_BYTES = 0x40000000;

} // namespace

bool CreateGameOutput(const std::wstring& path, GameOutput& output)
{
    output.longPath = MakeLongPath(path);
    const auto create = [&]() {
        return CreateFileW(output.longPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE file = create();
    // A read-only file an earlier run left under this name is the file's doing, not the folder's.
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED &&
        GetFileAttributesW(output.longPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ClearBlockingAttributes(path);
        file = create();
    }
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    output.unfinished.reset(&output.longPath);
    output.file.reset(file);
    output.hash = StartSha256();
    return output.hash != nullptr;
}

bool WriteGameOutput(GameOutput& output, const unsigned char* bytes, size_t size)
{
    if (size > FILE_MAX_BYTES - output.written) {
        return false;
    }
    for (size_t written = 0; written < size;) {
        const DWORD piece = static_cast<DWORD>(std::min(size - written, WRITE_PIECE_BYTES));
        DWORD done = 0;
        if (!WriteFile(output.file.get(), bytes + written, piece, &done, nullptr) || done == 0) {
            return false;
        }
        written += done;
    }
    output.written += size;
    return AddSha256(output.hash, bytes, size);
}

bool FinishGameOutput(GameOutput& output, const Sha256Digest& digest)
{
    Sha256Digest made{};
    const bool hashed = FinishSha256(output.hash, made);
    // Closed before it is kept or deleted; a close that fails may have lost the last bytes.
    const bool closed = CloseHandle(output.file.release()) != FALSE;
    if (!hashed || !closed || made != digest) {
        output.unfinished.reset();
        return false;
    }
    output.unfinished.release();
    return true;
}
