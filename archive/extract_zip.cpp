#include "archive/archive.h"

#include "archive/zip_write.h"
#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <type_traits>
#include <vector>

namespace {

const size_t READ_PIECE_BYTES = 0x100000; // 1 MiB

// A destination held by another program gets 14 attempts over about five seconds. Renaming it aside after the third
// and the seventh failure frees its name when the holder allows renaming, as a loaded library does.
const int OPEN_ATTEMPTS = 14;
const int OPEN_FIRST_ASIDE_AFTER_FAILURES = 3;
const int OPEN_SECOND_ASIDE_AFTER_FAILURES = 7;
const HeldFileRetries OPEN_RETRIES = {OPEN_ATTEMPTS, OPEN_FIRST_ASIDE_AFTER_FAILURES, OPEN_SECOND_ASIDE_AFTER_FAILURES};

const char HELD_FILE_ADVICE[] = " - another program still has this file open. Close the game completely (or restart "
                                "Windows) and run the updater again.";

// What one extraction carries from entry to entry: the thread that writes its files and the folders it has made.
struct Extraction {
    ZipWriterHolder writer;
    std::set<std::wstring> createdFolders;
};

bool Fail(std::string& message, const std::string& text)
{
    message = text;
    return false;
}

std::string ErrorSuffix(DWORD code)
{
    return " (error " + std::to_string(code) + ")";
}

// Reads the whole archive file; the zip library works on this image and never on the file.
bool ReadArchiveImage(const std::wstring& path, ZipImage& image, std::string& message)
{
    const std::wstring longPath = MakeLongPath(path);
    const HANDLE opened = CreateFileW(longPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(GetLastError()));
    }
    KernelHandle file(opened);

    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > PACKAGE_MAX_BYTES) {
        return Fail(message, "zip file is empty or unreasonably large");
    }
    image.size = static_cast<size_t>(size.QuadPart);
    // Cleared although the reads fill every byte: under Wine, reading into memory never touched before measured
    // slower than clearing it first (bench/RESULTS.md).
    image.bytes.reset(new unsigned char[image.size]());

    size_t offset = 0;
    while (offset < image.size) {
        const DWORD piece = static_cast<DWORD>(std::min(image.size - offset, READ_PIECE_BYTES));
        DWORD pieceRead = 0;
        if (!ReadFile(file.get(), image.bytes.get() + offset, piece, &pieceRead, nullptr) || pieceRead == 0) {
            // Taken before anything else can overwrite the code, closing the file included.
            return Fail(message, "failed reading zip file" + ErrorSuffix(GetLastError()));
        }
        offset += pieceRead;
    }
    return true;
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

bool ExtractFileEntry(mz_zip_archive* zip, mz_uint index, const std::wstring& root, const std::wstring& name,
                      Extraction& extraction, std::string& message)
{
    const std::wstring destination = root + name;
    const std::wstring longDestination = MakeLongPath(destination);
    ZipCreateParentDirs(root, name, extraction.createdFolders);
    ZipWriteContext context = {INVALID_HANDLE_VALUE, true, extraction.writer.get()};

    DWORD error = 0;
    bool heldTooLong = false;
    const HANDLE opened = OpenForWriteWithRetries(destination, longDestination, error, heldTooLong);
    if (opened == INVALID_HANDLE_VALUE) {
        const std::string reason = heldTooLong ? std::string(HELD_FILE_ADVICE) : ErrorSuffix(error);
        return Fail(message, "cannot write " + WideToUtf8(name) + reason);
    }
    KernelHandle file(opened);
    context.file = file.get();

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
    return Fail(message, "failed extracting " + WideToUtf8(name) + ": " +
                             (context.ok ? EntryFailureText(zip) : std::string("disk write failed")));
}

bool ExtractEntries(mz_zip_archive* zip, const std::wstring& root, Extraction& extraction, HWND window,
                    std::string& message)
{
    // Every entry is judged by the rules the check applies. A name or path the updater refuses is refused before
    // anything is created for it; what the library refuses about the data it refuses while unpacking, with the same
    // text.
    const std::vector<PackageEntry> entries = ScanPackage(zip);
    const mz_uint count = static_cast<mz_uint>(entries.size());
    for (mz_uint i = 0; i < count; ++i) {
        const PackageEntry& entry = entries[i];
        if (!entry.refusal.empty() && !entry.refusedData) {
            return Fail(message, entry.refusal);
        }
        if (entry.folder) {
            // A folder Windows cannot create is no failure: a file that needs it fails by its own name.
            if (!entry.skipped) {
                ZipCreateParentDirs(root, entry.path, extraction.createdFolders);
                CreateDirectoryW(MakeLongPath(root + entry.path).c_str(), nullptr);
            }
            continue;
        }
        if (!ExtractFileEntry(zip, i, root, entry.path, extraction, message)) {
            return false;
        }
        // Directory entries count too, so the bar reaches 100 only when the last entry is a file.
        PostProgress(window, static_cast<int>((i + 1) * 100.0 / count));
    }
    return true;
}

} // namespace

bool ReadZipImage(const std::wstring& archivePath, ZipImage& image, std::string& message)
{
    std::wstring archive;
    DWORD error = 0;
    if (!AbsolutePathOf(archivePath, archive, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    return ReadArchiveImage(archive, image, message);
}

bool CheckZipImage(const ZipImage& image, uint64_t& unpackedBytes, std::string& message)
{
    unpackedBytes = 0;
    mz_zip_archive zip;
    if (!OpenZipImage(image.bytes.get(), image.size, zip, message)) {
        return false;
    }
    OpenZip opened(&zip);
    for (const PackageEntry& entry : ScanPackage(&zip)) {
        if (!entry.refusal.empty()) {
            return Fail(message, entry.refusal);
        }
        // Forged zip64 sizes must not wrap the sum into something small.
        unpackedBytes = entry.size > UINT64_MAX - unpackedBytes ? UINT64_MAX : unpackedBytes + entry.size;
    }
    return true;
}

bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message)
{
    std::wstring target;
    DWORD error = 0;
    if (!AbsolutePathOf(targetDirectory, target, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    mz_zip_archive zip;
    if (!OpenZipImage(image.bytes.get(), image.size, zip, message)) {
        return false;
    }
    OpenZip opened(&zip);
    Extraction extraction{StartZipWriter(image.bytes.get(), image.size), {}};
    return ExtractEntries(&zip, WithTrailingBackslash(target), extraction, window, message);
}

bool ExtractZip(const std::wstring& archivePath, const std::wstring& targetDirectory, HWND window, std::string& message)
{
    ZipImage image;
    return ReadZipImage(archivePath, image, message) && ExtractZipImage(image, targetDirectory, window, message);
}
