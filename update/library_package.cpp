#include "update/update.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/handles.h"
#include "fs/fs.h"
#include "status/status.h"

#include <stdexcept>

namespace {

const int COPY_ATTEMPTS = 10;
const DWORD SHORT_PAUSE_MS = 150;
const DWORD LONG_PAUSE_MS = 400;

// Copies one library beside the game, waiting out a game or tool that still holds the old copy; gives up silently.
void CopyLibraryBesideGame(const std::wstring& source, const std::wstring& destination)
{
    for (int attempt = 1; attempt <= COPY_ATTEMPTS; ++attempt) {
        if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) {
            return;
        }
        const DWORD error = GetLastError();
        if (!IsInUseError(error)) {
            return;
        }
        if (error == ERROR_ACCESS_DENIED) {
            ClearBlockingAttributes(destination);
        }
        // A loaded library can be renamed though not overwritten: free its name now and then.
        if (attempt == 3 || attempt == 6) {
            MoveLockedFileAside(destination);
        }
        Sleep(attempt <= 4 ? SHORT_PAUSE_MS : LONG_PAUSE_MS);
    }
}

void CopyBassLibraries(const std::wstring& programDirectory, const std::wstring& libraryDirectory)
{
    WIN32_FIND_DATAW entry = {};
    FindHandle search = StartFind(MakeLongPath(libraryDirectory + L"\\bass*.dll"), entry);
    if (!search) {
        return;
    }
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        CopyLibraryBesideGame(libraryDirectory + L"\\" + entry.cFileName, programDirectory + entry.cFileName);
    } while (FindNextFileW(search.get(), &entry));
}

} // namespace

void InstallLibraryPackage(const std::wstring& programDirectory, HWND window)
{
    InstallLibraryPackage(programDirectory, window, nullptr);
}

void InstallLibraryPackage(const std::wstring& programDirectory, HWND window, const ChecksumList* list)
{
    const std::wstring libraryDirectory = programDirectory + L"lib";
    const std::wstring archivePath = programDirectory + L"lib_temp.zip";
    const std::wstring longArchivePath = MakeLongPath(archivePath);
    const TemporaryFile temporaryArchive(&longArchivePath);

    PostStatus(window, L"Downloading libraries...");
    PostProgress(window, 0);
    // Libraries that are already the listed release need no package; the copies beside the game are made all the
    // same, since the game may have lost or damaged them.
    if (list != nullptr && LibraryMatchesChecksumList(libraryDirectory, *list)) {
        PostProgress(window, 100);
        CopyBassLibraries(programDirectory, libraryDirectory);
        return;
    }
    // The package is optional: without it the installed libraries stay as they are.
    DWORD refusedError = 0;
    if (!DownloadAny(L"lib.zip", archivePath, window, list != nullptr ? &list->libraryPackage : nullptr,
                     refusedError)) {
        return;
    }

    // Everything that can be known about the package without unpacking it is known before the installed libraries
    // go: an error page, a cut-off upload or a refused name leaves the game as it was. The image that was checked is
    // the one that is unpacked, so the package is read once.
    std::string reason;
    ZipImage image;
    uint64_t unpackedBytes = 0;
    if (!ReadZipImage(archivePath, image, reason) || !CheckZipImage(image, unpackedBytes, reason)) {
        throw std::runtime_error("Library extraction failed: " + reason);
    }

    const std::wstring longLibraryDirectory = MakeLongPath(libraryDirectory);
    if (GetFileAttributesW(longLibraryDirectory.c_str()) != INVALID_FILE_ATTRIBUTES) {
        DeleteDirectoryContentsRecursive(libraryDirectory);
    }
    CreateDirectoryW(longLibraryDirectory.c_str(), nullptr);
    SweepAsideLeftovers(libraryDirectory);

    PostStatus(window, L"Extracting libraries...");
    PostProgress(window, 100);
    if (!ExtractZipImage(image, libraryDirectory, window, reason)) {
        throw std::runtime_error("Library extraction failed: " + reason);
    }

    CopyBassLibraries(programDirectory, libraryDirectory);
}
