#include "archive/archive.h"

#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <miniz.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <type_traits>
#include <vector>

namespace {

const LONGLONG MAX_ARCHIVE_BYTES = 0x40000000; // 1 GiB
const size_t READ_PIECE_BYTES = 0x100000;      // 1 MiB
// Encrypted, strongly encrypted, patch data: the library refuses all three as encryption.
const mz_uint16 ENCRYPTION_FLAGS = 0x0001 | 0x0040 | 0x0020;

// A destination held by another program gets 14 attempts over about five seconds. Renaming it aside after the third
// and the seventh failure frees its name when the holder allows renaming, as a loaded library does.
const int OPEN_ATTEMPTS = 14;
const int FIRST_MOVE_ASIDE_ATTEMPT = 2;
const int SECOND_MOVE_ASIDE_ATTEMPT = 6;
const int SHORT_PAUSE_ATTEMPTS = 4;
const DWORD SHORT_PAUSE_MS = 150;
const DWORD LONG_PAUSE_MS = 400;

const char HELD_FILE_ADVICE[] = " - another program still has this file open. Close the game completely (or restart "
                                "Windows) and run the updater again.";

struct ZipReaderEnder {
    void operator()(mz_zip_archive* zip) const { mz_zip_reader_end(zip); }
};
using OpenZip = std::unique_ptr<mz_zip_archive, ZipReaderEnder>;

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

// The library's text for its last error, which reading also clears.
std::string LibraryText(mz_zip_archive* zip)
{
    return mz_zip_get_error_string(mz_zip_get_last_error(zip));
}

bool MakeAbsolute(const std::wstring& path, std::wstring& absolute, DWORD& error)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0) {
        error = GetLastError();
        return false;
    }
    std::vector<wchar_t> buffer(length, L'\0');
    const DWORD filled = GetFullPathNameW(path.c_str(), length, buffer.data(), nullptr);
    if (filled == 0) {
        error = GetLastError();
        return false;
    }
    if (filled >= length) {
        // The current directory changed between the two calls and the answer no longer fits.
        error = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    absolute.assign(buffer.data(), filled);
    return true;
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
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > MAX_ARCHIVE_BYTES) {
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

// The stored name, all its bytes (an embedded NUL must reach the name rule), as a wide string with '\' separators.
std::wstring EntryNameOf(mz_zip_archive* zip, const mz_zip_archive_file_stat& stat)
{
    // Names are cut to the library's stat length, 511 bytes, as they always were.
    char stored[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
    const mz_uint copied = mz_zip_reader_get_filename(zip, stat.m_file_index, stored, sizeof(stored));
    std::wstring name = DecodeEntryName(stored, copied == 0 ? 0 : copied - 1, stat.m_bit_flag);
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return name;
}

// Opens the destination for writing, waiting for another program to let go of it. INVALID_HANDLE_VALUE with the
// last error code when it gives up (heldTooLong) or meets a code that waiting cannot cure.
HANDLE OpenForWriteWithRetries(const std::wstring& path, const std::wstring& longPath, DWORD& error, bool& heldTooLong)
{
    heldTooLong = false;
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        const HANDLE file =
            CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        error = GetLastError();
        if (!IsInUseError(error)) {
            return INVALID_HANDLE_VALUE;
        }
        if (error == ERROR_ACCESS_DENIED) {
            ClearBlockingAttributes(path);
        }
        if (attempt == FIRST_MOVE_ASIDE_ATTEMPT || attempt == SECOND_MOVE_ASIDE_ATTEMPT) {
            MoveLockedFileAside(path);
        }
        Sleep(attempt < SHORT_PAUSE_ATTEMPTS ? SHORT_PAUSE_MS : LONG_PAUSE_MS);
    }
    heldTooLong = true;
    return INVALID_HANDLE_VALUE;
}

// Why the library failed an entry. miniz stores no code when inflate meets corrupt or cut-short data, which would
// read "no error"; such an entry is corrupt.
std::string EntryFailureText(mz_zip_archive* zip)
{
    const mz_zip_error error = mz_zip_get_last_error(zip);
    return mz_zip_get_error_string(error == MZ_ZIP_NO_ERROR ? MZ_ZIP_DECOMPRESSION_FAILED : error);
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

// Reads entry index's statistics and name and applies the entry-name rule: what both the check and the extraction
// need before anything is written for the entry.
bool ReadEntry(mz_zip_archive* zip, mz_uint index, mz_zip_archive_file_stat& stat, std::wstring& name,
               std::string& message)
{
    std::memset(&stat, 0, sizeof(stat));
    if (!mz_zip_reader_file_stat(zip, index, &stat)) {
        return Fail(message, "cannot read zip entry " + std::to_string(index) + ": " + LibraryText(zip));
    }
    name = EntryNameOf(zip, stat);
    if (!IsSafeEntryName(name)) {
        return Fail(message, "unsafe path in zip entry " + std::to_string(index));
    }
    return true;
}

bool IsDirectoryEntry(const mz_zip_archive_file_stat& stat, const std::wstring& name)
{
    return stat.m_is_directory || name.back() == L'\\';
}

bool OpenImage(const ZipImage& image, mz_zip_archive& zip, std::string& message)
{
    std::memset(&zip, 0, sizeof(zip));
    if (!mz_zip_reader_init_mem(&zip, image.bytes.get(), image.size, 0)) {
        return Fail(message, "not a valid zip archive: " + LibraryText(&zip));
    }
    if (mz_zip_reader_get_num_files(&zip) == 0) {
        mz_zip_reader_end(&zip);
        return Fail(message, "zip archive is empty");
    }
    return true;
}

bool ExtractEntries(mz_zip_archive* zip, const std::wstring& root, Extraction& extraction, HWND window,
                    std::string& message)
{
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat stat;
        std::wstring name;
        // Checked before anything is created for the entry, directories included.
        if (!ReadEntry(zip, i, stat, name, message)) {
            return false;
        }
        if (IsDirectoryEntry(stat, name)) {
            ZipCreateParentDirs(root, name, extraction.createdFolders);
            CreateDirectoryW(MakeLongPath(root + name).c_str(), nullptr);
            continue;
        }
        if (!ExtractFileEntry(zip, i, root, name, extraction, message)) {
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
    if (!MakeAbsolute(archivePath, archive, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    return ReadArchiveImage(archive, image, message);
}

bool CheckZipImage(const ZipImage& image, uint64_t& unpackedBytes, std::string& message)
{
    unpackedBytes = 0;
    mz_zip_archive zip;
    if (!OpenImage(image, zip, message)) {
        return false;
    }
    OpenZip opened(&zip);
    const mz_uint count = mz_zip_reader_get_num_files(&zip);
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat stat;
        std::wstring name;
        if (!ReadEntry(&zip, i, stat, name, message)) {
            return false;
        }
        // The statistics store why an entry cannot be unpacked; a later entry must not be blamed for it.
        mz_zip_get_last_error(&zip);
        // The library unpacks directories and empty entries without looking at their method or encryption, and
        // refuses encryption before an unknown method: the same order gives the same reason.
        if (!IsDirectoryEntry(stat, name)) {
            unpackedBytes += stat.m_uncomp_size;
        }
        if (IsDirectoryEntry(stat, name) || stat.m_comp_size == 0 || stat.m_is_supported) {
            continue;
        }
        const bool encrypted = (stat.m_bit_flag & ENCRYPTION_FLAGS) != 0;
        return Fail(message,
                    "failed extracting " + WideToUtf8(name) + ": " +
                        mz_zip_get_error_string(encrypted ? MZ_ZIP_UNSUPPORTED_ENCRYPTION : MZ_ZIP_UNSUPPORTED_METHOD));
    }
    return true;
}

bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message)
{
    std::wstring target;
    DWORD error = 0;
    if (!MakeAbsolute(targetDirectory, target, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    mz_zip_archive zip;
    if (!OpenImage(image, zip, message)) {
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
