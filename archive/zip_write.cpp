#include "archive/zip_write.h"

#include "archive/archive.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <algorithm>
#include <cstring>

namespace {

// WriteFile counts in 32 bits; a stored entry arrives from the zip library in one piece of any size.
const size_t WRITE_PIECE_BYTES = 0x4000000; // 64 MiB

// A destination held by another program gets 14 attempts over about five seconds. Renaming it aside after the third
// and the seventh failure frees its name when the holder allows renaming, as a loaded library does.
const int OPEN_ATTEMPTS = 14;
const int OPEN_FIRST_ASIDE_AFTER_FAILURES = 3;
const int OPEN_SECOND_ASIDE_AFTER_FAILURES = 7;
const HeldFileRetries OPEN_RETRIES = {OPEN_ATTEMPTS, OPEN_FIRST_ASIDE_AFTER_FAILURES, OPEN_SECOND_ASIDE_AFTER_FAILURES};

const char HELD_FILE_ADVICE[] = " - another program still has this file open. Close the game completely (or restart "
                                "Windows) and run the updater again.";

// Writes every byte; false when WriteFile fails or writes nothing.
bool WriteAll(HANDLE file, const char* bytes, size_t length, size_t& written)
{
    written = 0;
    while (written < length) {
        const DWORD piece = static_cast<DWORD>(std::min(length - written, WRITE_PIECE_BYTES));
        DWORD pieceWritten = 0;
        if (!WriteFile(file, bytes + written, piece, &pieceWritten, nullptr) || pieceWritten == 0) {
            return false;
        }
        written += pieceWritten;
    }
    return true;
}

// Writes what the buffer has gathered; false when the write fails.
bool FlushGathered(ZipWriteContext& context)
{
    size_t written = 0;
    const bool ok = context.filled == 0 || WriteAll(context.file, context.buffer, context.filled, written);
    context.filled = 0;
    return ok;
}

// Opens the destination for writing, waiting for another program to let go of it. INVALID_HANDLE_VALUE with the
// last error code when it gives up (heldTooLong) or meets a code that waiting cannot cure.
HANDLE OpenForWriteWithRetries(const std::wstring& path, const std::wstring& longPath, DWORD& error, bool& heldTooLong)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    const auto open = [&]() -> DWORD {
        file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return file != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
    };
    heldTooLong = !RetryWhileHeld(path, OPEN_RETRIES, open, error) && IsInUseError(error);
    return file;
}

} // namespace

size_t ZipWriteCallback(void* opaque, uint64_t, const void* data, size_t length)
{
    // The library delivers an entry's bytes in order, so appending is enough and the offset is not needed.
    ZipWriteContext* context = static_cast<ZipWriteContext*>(opaque);
    const char* bytes = static_cast<const char*>(data);
    size_t written = 0;
    if (context->buffer == nullptr || length >= ZIP_WRITE_BUFFER_BYTES) {
        // A piece as large as the buffer (stored data, handed over whole) is written from where it lies: copying it
        // would cost more than it saves.
        if (!FlushGathered(*context) || !WriteAll(context->file, bytes, length, written)) {
            context->ok = false;
        }
        // Any shortfall makes the library fail the entry.
        return context->ok ? written : 0;
    }
    // Inflated data comes in 32 KiB pieces: gathered, one write covers many of them.
    while (written < length) {
        const size_t part = std::min(length - written, ZIP_WRITE_BUFFER_BYTES - context->filled);
        std::memcpy(context->buffer + context->filled, bytes + written, part);
        context->filled += part;
        written += part;
        if (context->filled == ZIP_WRITE_BUFFER_BYTES && !FlushGathered(*context)) {
            context->ok = false;
            return 0;
        }
    }
    return length;
}

bool FinishZipWrites(ZipWriteContext& context)
{
    if (!FlushGathered(context)) {
        context.ok = false;
    }
    return context.ok;
}

bool WriteZipEntry(mz_zip_archive* zip, mz_uint index, const std::wstring& root, const std::wstring& path, char* buffer,
                   std::string& message)
{
    const std::wstring destination = root + path;
    const std::wstring longDestination = MakeLongPath(destination);
    DWORD error = 0;
    bool heldTooLong = false;
    const HANDLE opened = OpenForWriteWithRetries(destination, longDestination, error, heldTooLong);
    if (opened == INVALID_HANDLE_VALUE) {
        const std::string reason =
            heldTooLong ? std::string(HELD_FILE_ADVICE) : " (error " + std::to_string(error) + ")";
        message = "cannot write " + WideToUtf8(path) + reason;
        return false;
    }
    KernelHandle file(opened);
    ZipWriteContext context = {file.get(), true, buffer, 0};

    // An earlier entry may have left a code behind (the library stores one for an odd but empty entry and still
    // succeeds); it must not be blamed for this entry's failure.
    mz_zip_get_last_error(zip);
    const bool extracted = mz_zip_reader_extract_to_callback(zip, index, ZipWriteCallback, &context, 0) != MZ_FALSE;
    // Whatever the library said, the bytes it delivered are written before the file is closed, as if each had been
    // written on delivery: a write that fails among them is the entry's failure.
    FinishZipWrites(context);
    file.reset();
    if (extracted && context.ok) {
        return true;
    }
    DeleteFileW(longDestination.c_str());
    message = "failed extracting " + WideToUtf8(path) + ": " +
              (context.ok ? EntryFailureText(zip) : std::string("disk write failed"));
    return false;
}

void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName, std::set<std::wstring>& created,
                         std::vector<std::wstring>* made)
{
    // Existing directories and names the file system refuses are both left to the open of the entry itself. A folder
    // made earlier in this extraction is not made again.
    for (size_t at = entryName.find(L'\\'); at != std::wstring::npos; at = entryName.find(L'\\', at + 1)) {
        const std::wstring folder = root + entryName.substr(0, at);
        if (created.insert(folder).second && CreateDirectoryW(MakeLongPath(folder).c_str(), nullptr) &&
            made != nullptr) {
            made->push_back(folder);
        }
    }
}
