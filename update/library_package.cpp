#include "update/update.h"

#include "update/library_patch.h"
#include "update/library_switch.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "status/status.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// When the volume does not tell its cluster size: the usual one.
const DWORD USUAL_CLUSTER_BYTES = 4096;

// The disk holds the staging copy beside the installed libraries: judged from what the package's files take on this
// volume, each rounded up to whole clusters and with its record.
bool DiskHoldsSecondCopy(const std::wstring& programDirectory, const ZipImage& image)
{
    VolumeRoom room;
    return ReadVolumeRoom(programDirectory, room) &&
           RoomHolds(room, PackageDiskBytes(image, room.clusterBytes, RECORD_ALLOWANCE_BYTES));
}

// A staging copy that ran out of room: the disk (ERROR_HANDLE_DISK_FULL 39, ERROR_DISK_FULL 112) or a write that the
// disk refused, which extraction reports without a code.
bool IsDiskFullReason(const std::string& reason)
{
    return reason.find("(error 39)") != std::string::npos || reason.find("(error 112)") != std::string::npos ||
           reason.find(": disk write failed") != std::string::npos;
}

// Refills the library folder itself, as when nothing could be staged: marked incomplete, emptied (held files moved
// aside), unpacked into, and marked complete only when every entry is whole. Throws the extraction's failure.
void ReplaceLibrariesInPlace(const LibraryFolders& folders, const ZipImage& image, HWND window)
{
    unsigned long error = 0;
    if (!PrepareInPlaceRefill(folders, error)) {
        ThrowExtractionFailure("cannot write " + WideToUtf8(INCOMPLETE_MARK_NAME) + " (error " + std::to_string(error) +
                               ")");
    }
    std::string reason;
    if (!ExtractZipImage(image, folders.library, window, reason)) {
        ThrowExtractionFailure(reason);
    }
    FinishInPlaceRefill(folders);
}

// No mirror served the listed package: a mirror that sent other bytes makes it damaged, else it was not there.
[[noreturn]] void ThrowListedPackageMissing(bool otherBytes)
{
    throw std::runtime_error(
        otherBytes ? "The downloaded update was damaged. Your game was not changed; please try again later."
                   : "Failed to download the update. Your game was not changed; please try again later.");
}

// Stops the run where the program directory refuses a new name: the text the game's phase gives for the same cause.
[[noreturn]] void ThrowFolderRefusesWrites(unsigned long refusal)
{
    throw std::runtime_error("The update could not be saved because the game folder cannot be written to (error " +
                             std::to_string(refusal) +
                             "). Your game was not changed; run the updater as the user who installed the game, or "
                             "move the game to a folder you can write to.");
}

} // namespace

bool ReadVolumeRoom(const std::wstring& folder, VolumeRoom& room)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    room.availableBytes = available.QuadPart;
    room.clusterBytes = USUAL_CLUSTER_BYTES;
    wchar_t root[MAX_PATH + 1] = {};
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (GetVolumePathNameW(folder.c_str(), root, MAX_PATH) &&
        GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
        sectorsPerCluster != 0 && bytesPerSector != 0) {
        room.clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    }
    return true;
}

bool RoomHolds(const VolumeRoom& room, uint64_t neededBytes)
{
    return room.availableBytes > SPARE_DISK_BYTES && room.availableBytes - SPARE_DISK_BYTES > neededBytes;
}

void InstallLibraryPackage(const std::wstring& programDirectory, HWND window, const ChecksumList* list)
{
    LibraryFolders folders = LibraryFoldersOf(programDirectory);

    PostStatus(window, L"Downloading libraries...");
    PostProgress(window, 0);
    // Libraries that are already the listed release need no package; the copies beside the game are made all the
    // same, since the game may have lost or damaged them. A folder left half refilled is never the release. Every
    // installed file is hashed once: the same digests say what a patch must fetch.
    std::vector<FileDigest> installed;
    const bool hashed =
        list != nullptr && IsLibraryWhole(folders.library) && HashInstalledLibraries(folders.library, installed);
    if (hashed && HoldsListedFiles(installed, *list)) {
        PostProgress(window, 100);
        RefreshBassCopies(programDirectory, folders.library);
        return;
    }
    // Made before the download, so that a folder the player may not write to is found before the package is
    // fetched. Without a list the executable phase then names the cause; a listed game, though, is never installed
    // or started on other libraries than its own, so the run stops here. Without a staging folder (names taken, no
    // room for a mark) the libraries are refilled in place.
    unsigned long refusal = 0;
    bool staged = MakeStagingFolder(programDirectory, folders, refusal);
    if (!staged && IsWriteRefusal(refusal)) {
        if (list != nullptr) {
            ThrowFolderRefusesWrites(refusal);
        }
        return;
    }

    // With a list, an installed "lib" that lacks some listed files gets only those, by byte ranges, where the
    // mirror allows it and it costs less than the whole package; else the whole package follows, as without a list.
    const std::vector<const wchar_t*> mirrors = MirrorsFor(list);
    ZipImage image;
    bool otherBytes = false;
    if (hashed && staged) {
        if (PatchLibraries(folders, window, *list, installed, mirrors, image, otherBytes)) {
            RefreshBassCopies(programDirectory, folders.library);
            return;
        }
        // A staging folder that could not be marked incomplete again is left whole and unused.
        staged = IsMarkedIncomplete(folders.staging);
    }

    // Everything that can be known about the package without unpacking it is known before anything is written: an
    // error page, a cut-off upload or a refused name is a failed attempt at that mirror. The image that was hashed and
    // checked is the one that is unpacked; it never touches the disk. A whole package that a mirror without byte
    // ranges already sent is taken as it is when it is the listed one.
    std::string reason;
    const BytesCheck isUsable = [&](const DownloadedBytes& body) { return CheckZipImage(body, reason); };
    const bool prefetched =
        image.size > 0 && BytesHaveDigest(image.bytes.get(), image.size, list->libraryPackage) && isUsable(image);
    if (!prefetched) {
        // A whole file a mirror sent that is not the listed package is let go before the package comes again, so that
        // the two are never held at once.
        image = ZipImage();
    }
    DownloadFailure failure;
    if (!prefetched &&
        !DownloadFromMirrorsToMemory(mirrors.data(), mirrors.size(), L"lib.zip", window, PACKAGE_MAX_BYTES,
                                     list != nullptr ? &list->libraryPackage : nullptr, isUsable, image, failure)) {
        RemoveStagingFolder(folders);
        // A package that came whole but could not be used is reported, in the words of the last such refusal.
        if (failure.unusable || failure.tooLarge) {
            ThrowExtractionFailure(failure.tooLarge ? PACKAGE_SIZE_REFUSAL : reason);
        }
        // Without a list the package is optional: the installed libraries stay as they are. A listed game, though,
        // was released with the listed libraries only; the run stops before it is installed over other ones.
        if (list != nullptr) {
            ThrowListedPackageMissing(otherBytes || failure.otherBytes);
        }
        return;
    }

    PostStatus(window, L"Extracting libraries...");
    PostProgress(window, 100);
    staged = staged && DiskHoldsSecondCopy(programDirectory, image);
    if (staged && !ExtractZipImage(image, folders.staging, window, reason)) {
        RemoveStagingFolder(folders);
        // Damage that unpacking reveals leaves everything as it was; a disk too full for a second copy only rules
        // the staging out.
        if (!IsDiskFullReason(reason)) {
            ThrowExtractionFailure(reason);
        }
        staged = false;
    }
    // A folder that cannot be renamed (a file in it held open past the retries) is refilled where it stands.
    if (staged && !(MarkFolderComplete(folders.staging) && SwitchToStagedLibraries(folders))) {
        staged = false;
    }
    RemoveStagingFolder(folders);
    if (!staged) {
        ReplaceLibrariesInPlace(folders, image, window);
    }
    RefreshBassCopies(programDirectory, folders.library);
}
