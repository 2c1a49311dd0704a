#include "update/update.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "status/status.h"

#include <stdexcept>
#include <vector>

namespace {

// A library held by the game or a tool gets 10 attempts over about three seconds, moved aside after the third and
// the sixth failure.
const int COPY_ATTEMPTS = 10;
const int COPY_FIRST_ASIDE_AFTER_FAILURES = 3;
const int COPY_SECOND_ASIDE_AFTER_FAILURES = 6;
const HeldFileRetries COPY_RETRIES = {COPY_ATTEMPTS, COPY_FIRST_ASIDE_AFTER_FAILURES, COPY_SECOND_ASIDE_AFTER_FAILURES};

// Copies one library beside the game, waiting out a game or tool that still holds the old copy; gives up silently.
void CopyLibraryBesideGame(const std::wstring& source, const std::wstring& destination)
{
    const auto copy = [&]() -> DWORD {
        return CopyFileW(source.c_str(), destination.c_str(), FALSE) ? ERROR_SUCCESS : GetLastError();
    };
    DWORD error = 0;
    RetryWhileHeld(destination, COPY_RETRIES, copy, error);
}

void CopyBassLibraries(const std::wstring& programDirectory, const std::wstring& libraryDirectory)
{
    WalkDirectory(libraryDirectory, L"bass*.dll", WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        if (!entry.directory) {
            CopyLibraryBesideGame(entry.path, programDirectory + entry.name);
        }
        return true;
    });
}

// The new libraries are unpacked beside the installed ones and take their place only when complete; the installed
// folder waits under the other name until the new one is in place. A killed run leaves these two names behind, and
// only these: the next run puts the installed folder back if it had already moved and removes both.
const wchar_t LIBRARY_NAME[] = L"lib";
const wchar_t STAGING_NAME[] = L"lib_new";
const wchar_t PREVIOUS_NAME[] = L"lib_old";
// Room kept free beyond the unpacked bytes for clusters and folders, so that the staging copy never fills the disk.
const ULONGLONG SPARE_DISK_BYTES = 64ull * 1024 * 1024;

[[noreturn]] void ThrowExtractionFailure(const std::string& reason)
{
    throw std::runtime_error("Library extraction failed: " + reason);
}

struct LibraryFolders {
    std::wstring library;
    std::wstring staging;
    std::wstring previous;
};

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(MakeLongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Rename(const std::wstring& from, const std::wstring& to)
{
    return MoveFileExW(MakeLongPath(from).c_str(), MakeLongPath(to).c_str(), 0) != FALSE;
}

// Completes what a killed run left: a library folder moved away for a switch that never happened comes back, and the
// staging folder and the previous libraries go.
void FinishInterruptedSwitch(const LibraryFolders& folders)
{
    if (!IsDirectory(folders.library) && IsDirectory(folders.previous)) {
        Rename(folders.previous, folders.library);
    }
    RemoveDirectoryTree(folders.staging);
    RemoveDirectoryTree(folders.previous);
}

// The disk holds the staging copy beside the installed libraries; judged from the package's own unpacked size.
bool DiskHoldsSecondCopy(const std::wstring& programDirectory, uint64_t unpackedBytes)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(programDirectory.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    return available.QuadPart > SPARE_DISK_BYTES && available.QuadPart - SPARE_DISK_BYTES > unpackedBytes;
}

// Refills the library folder itself, as when nothing could be staged: held files are moved aside, the rest is
// deleted, and the package is unpacked into the emptied folder. Throws the extraction's failure.
void ReplaceLibrariesInPlace(const std::wstring& libraryDirectory, const ZipImage& image, HWND window)
{
    const std::wstring longLibraryDirectory = MakeLongPath(libraryDirectory);
    if (GetFileAttributesW(longLibraryDirectory.c_str()) != INVALID_FILE_ATTRIBUTES) {
        DeleteDirectoryContentsRecursive(libraryDirectory);
    }
    CreateDirectoryW(longLibraryDirectory.c_str(), nullptr);
    SweepAsideLeftovers(libraryDirectory);
    std::string reason;
    if (!ExtractZipImage(image, libraryDirectory, window, reason)) {
        ThrowExtractionFailure(reason);
    }
}

// Puts the complete staging folder in the library folder's place. A folder with a file held open in it cannot be
// renamed; its content is then replaced where it stands.
void SwitchToStagedLibraries(const LibraryFolders& folders, const ZipImage& image, HWND window)
{
    const bool installed = IsDirectory(folders.library);
    const bool movedAway = installed && Rename(folders.library, folders.previous);
    if ((!installed || movedAway) && Rename(folders.staging, folders.library)) {
        RemoveDirectoryTree(folders.previous);
        return;
    }
    if (movedAway) {
        Rename(folders.previous, folders.library);
    }
    RemoveDirectoryTree(folders.staging);
    ReplaceLibrariesInPlace(folders.library, image, window);
}

} // namespace

void InstallLibraryPackage(const std::wstring& programDirectory, HWND window, const ChecksumList* list)
{
    const LibraryFolders folders = {programDirectory + LIBRARY_NAME, programDirectory + STAGING_NAME,
                                    programDirectory + PREVIOUS_NAME};

    PostStatus(window, L"Downloading libraries...");
    PostProgress(window, 0);
    FinishInterruptedSwitch(folders);
    // Libraries that are already the listed release need no package; the copies beside the game are made all the
    // same, since the game may have lost or damaged them.
    if (list != nullptr && LibraryMatchesChecksumList(folders.library, *list)) {
        PostProgress(window, 100);
        CopyBassLibraries(programDirectory, folders.library);
        return;
    }
    // Made before the download, so that a folder the player may not write to is found before the package is
    // fetched; the executable phase then names the cause. A staging folder that is still in the way (a file held in
    // it) leaves only the in-place way.
    bool staged = CreateDirectoryW(MakeLongPath(folders.staging).c_str(), nullptr) != FALSE;
    if (!staged && IsWriteRefusal(GetLastError())) {
        return;
    }

    // Everything that can be known about the package without unpacking it is known before anything is written: an
    // error page, a cut-off upload or a refused name is a failed attempt at that mirror. The image that was hashed and
    // checked is the one that is unpacked; it never touches the disk.
    std::string reason;
    uint64_t unpackedBytes = 0;
    const BytesCheck isUsable = [&](const DownloadedBytes& body) { return CheckZipImage(body, unpackedBytes, reason); };
    ZipImage image;
    DownloadFailure failure;
    const std::vector<const wchar_t*> mirrors = MirrorsFor(list);
    if (!DownloadFromMirrorsToMemory(mirrors.data(), mirrors.size(), L"lib.zip", window, PACKAGE_MAX_BYTES,
                                     list != nullptr ? &list->libraryPackage : nullptr, isUsable, image, failure)) {
        RemoveDirectoryTree(folders.staging);
        // A package that came whole but could not be used is reported, in the words of the last such refusal.
        if (failure.unusable || failure.tooLarge) {
            ThrowExtractionFailure(failure.tooLarge ? PACKAGE_SIZE_REFUSAL : reason);
        }
        // Without a list the package is optional: the installed libraries stay as they are. A listed game, though,
        // was released with the listed libraries only; the run stops before it is installed over other ones.
        if (list != nullptr) {
            throw std::runtime_error(
                failure.otherBytes
                    ? "The downloaded update was damaged. Your game was not changed; please try again later."
                    : "Failed to download the update. Your game was not changed; please try again later.");
        }
        return;
    }

    PostStatus(window, L"Extracting libraries...");
    PostProgress(window, 100);
    staged = staged && DiskHoldsSecondCopy(programDirectory, unpackedBytes);
    if (!staged) {
        RemoveDirectoryTree(folders.staging);
        ReplaceLibrariesInPlace(folders.library, image, window);
    } else {
        if (!ExtractZipImage(image, folders.staging, window, reason)) {
            RemoveDirectoryTree(folders.staging);
            ThrowExtractionFailure(reason);
        }
        SwitchToStagedLibraries(folders, image, window);
    }
    CopyBassLibraries(programDirectory, folders.library);
}
