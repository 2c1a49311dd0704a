#include "update/library_patch.h"

#include "update/library_switch.h"
#include "update/patch_plan.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <algorithm>
#include <new>
#include <set>
#include <stdexcept>

namespace {

// Linked to the staging folder's own mark once, to learn whether the volume makes hard links.
const wchar_t LINK_PROBE_NAME[] = L"vorlance-updater-link-probe.txt";

// What one mirror's attempt came to.
enum class PatchAttempt {
    INSTALLED,     // lib holds the listed release
    WHOLE_PACKAGE, // this mirror serves the package but cannot patch it: no ranges, a directory that does not
                   // name the list's files, or a patch that costs more than the whole
    FAILED,        // nothing usable from this mirror; the next one is tried
};

// One mirror's package while a patch is fetched from it.
struct PatchSource {
    RemoteFile package;
    TransferProgress progress;
    ZipImage& wholePackage; // a mirror that answers a range with the whole file leaves it here
    bool& otherBytes;       // a mirror served bytes that are not the listed ones
};

// The central directory's bytes: the part the tail already holds is not fetched again. A directory that cannot name
// the listed files is never fetched; it comes back empty, which ReadPackageDirectory refuses unread, so that the
// mirror is one that cannot patch.
RangeAnswer FetchDirectory(PatchSource& source, const ChecksumList& list, const DownloadedBytes& tail,
                           const PackageDirectoryLocation& location, DownloadedBytes& directory)
{
    if (!DirectoryMayMatch(location, list.libraryFiles)) {
        directory = DownloadedBytes();
        return RangeAnswer::PART;
    }
    try {
        DownloadedBytes fetched;
        if (location.missingBytes > 0) {
            const RangeAnswer answer =
                FetchRange(source.package, location.offset, location.missingBytes, PACKAGE_MAX_BYTES, nullptr, fetched);
            if (answer != RangeAnswer::PART) {
                directory = std::move(fetched);
                return answer;
            }
        }
        directory = JoinPackageDirectory(tail, location, fetched.bytes.get());
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
    return RangeAnswer::PART;
}

// True when the volume of the staging folder makes hard links (FAT32 and exFAT make none): one is tried once, on
// the staging folder's own mark, so that no file of lib is touched.
bool VolumeLinksFiles(const std::wstring& staging)
{
    const std::wstring probe = WithTrailingBackslash(staging) + LINK_PROBE_NAME;
    const std::wstring mark = MakeLongPath(WithTrailingBackslash(staging) + INCOMPLETE_MARK_NAME);
    if (!CreateHardLinkW(MakeLongPath(probe).c_str(), mark.c_str(), nullptr)) {
        return false;
    }
    DeleteFileOrMoveAside(probe);
    return true;
}

// The staging folder takes the fetched files, and the kept ones too where they are copied: judged as the whole
// package's second copy is, on the same volume.
bool StagingHoldsPatch(const LibraryFolders& folders, const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                       bool linksFiles)
{
    VolumeRoom room;
    return ReadVolumeRoom(FolderOf(folders.staging), room) &&
           RoomHolds(room, PatchDiskBytes(entries, plan, !linksFiles, room.clusterBytes, RECORD_ALLOWANCE_BYTES));
}

// Gives the staging folder the installed files that the release keeps, as hard links where the volume makes them
// (nothing is copied), else as copies. False when one cannot be kept (gone since it was hashed, held, no room).
bool KeepInstalledFiles(const LibraryFolders& folders, const std::vector<FileDigest>& installed, const PatchPlan& plan,
                        bool linksFiles, std::set<std::wstring>& created)
{
    for (size_t index : plan.kept) {
        const std::wstring& path = installed[index].path;
        const std::wstring source = MakeLongPath(WithTrailingBackslash(folders.library) + path);
        const std::wstring target = MakeLongPath(WithTrailingBackslash(folders.staging) + path);
        ZipCreateParentDirs(WithTrailingBackslash(folders.staging), path, created);
        if (!(linksFiles && CreateHardLinkW(target.c_str(), source.c_str(), nullptr)) &&
            !CopyFileW(source.c_str(), target.c_str(), TRUE)) {
            return false;
        }
    }
    return true;
}

// The release's empty folders, which no file of the patch makes; false when one cannot be made.
bool MakePackageFolders(const std::wstring& staging, const std::vector<std::wstring>& packageFolders,
                        std::set<std::wstring>& created)
{
    for (const std::wstring& folder : packageFolders) {
        ZipCreateParentDirs(WithTrailingBackslash(staging), folder + L"\\", created);
        if (!IsPlainDirectory(WithTrailingBackslash(staging) + folder)) {
            return false;
        }
    }
    return true;
}

// Fetches the plan's requests into the staging folder, posting progress over the bytes to fetch.
PatchAttempt FetchPlannedEntries(PatchSource& source, const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                                 const ChecksumList& list, const std::wstring& staging, std::set<std::wstring>& created)
{
    source.progress.total = plan.bytes;
    switch (FetchPatchEntries(source.package, source.progress, entries, plan, list, staging, created,
                              source.wholePackage, source.otherBytes)) {
    case PatchFetch::STAGED:
        return PatchAttempt::INSTALLED;
    case PatchFetch::WHOLE_FILE:
    case PatchFetch::CANNOT_STREAM:
        return PatchAttempt::WHOLE_PACKAGE;
    default:
        return PatchAttempt::FAILED;
    }
}

PatchAttempt PatchFromMirror(PatchSource& source, LibraryFolders& folders, const ChecksumList& list,
                             const std::vector<FileDigest>& installed, bool linksFiles)
{
    // The end records are looked for in the package's last few kilobytes first, and in the whole stretch the zip
    // library searches only when a long comment hides them there.
    DownloadedBytes tail;
    PackageDirectoryLocation location;
    bool located = false;
    for (const size_t tailBytes : {PACKAGE_SHORT_TAIL_BYTES, PACKAGE_TAIL_BYTES}) {
        const RangeAnswer tailAnswer = FetchTail(source.package, tailBytes, PACKAGE_MAX_BYTES, nullptr, tail);
        if (tailAnswer == RangeAnswer::FAILED) {
            return PatchAttempt::FAILED;
        }
        // A mirror without ranges, or a package no longer than the tail, sent it whole: nothing costs less.
        if (tailAnswer == RangeAnswer::WHOLE_FILE || tail.size == source.package.size) {
            source.wholePackage = std::move(tail);
            return PatchAttempt::WHOLE_PACKAGE;
        }
        // A package no longer than the long tail is read whole by it at once.
        std::string reason;
        located = source.package.size > PACKAGE_TAIL_BYTES &&
                  LocatePackageDirectory(tail, source.package.size, location, reason);
        if (located) {
            break;
        }
    }
    // A directory that cannot be read is left to the whole package's check, which names what is wrong with it.
    if (!located) {
        return PatchAttempt::WHOLE_PACKAGE;
    }
    DownloadedBytes directory;
    const RangeAnswer directoryAnswer = FetchDirectory(source, list, tail, location, directory);
    if (directoryAnswer == RangeAnswer::WHOLE_FILE) {
        source.wholePackage = std::move(directory);
        return PatchAttempt::WHOLE_PACKAGE;
    }
    if (directoryAnswer == RangeAnswer::FAILED) {
        return PatchAttempt::FAILED;
    }
    std::vector<RangedEntry> entries;
    std::string reason;
    if (!ReadPackageDirectory(directory, location, entries, reason)) {
        return PatchAttempt::WHOLE_PACKAGE;
    }
    const PatchPlan plan = PlanPatch(location, entries, list.libraryFiles, installed);
    if (!plan.patch) {
        return PatchAttempt::WHOLE_PACKAGE;
    }
    // A disk without room for this patch has none for another mirror's: the whole package judges the disk again
    // and refills lib where it stands.
    if (!StagingHoldsPatch(folders, entries, plan, linksFiles)) {
        return PatchAttempt::WHOLE_PACKAGE;
    }
    const std::vector<std::wstring> packageFolders = PackageFolders(directory, location.entryCount);

    std::set<std::wstring> created;
    const PatchAttempt fetched = FetchPlannedEntries(source, entries, plan, list, folders.staging, created);
    if (fetched != PatchAttempt::INSTALLED) {
        return fetched;
    }

    PostStatus(source.progress.window, L"Extracting libraries...");
    PostProgress(source.progress.window, 100);
    if (!KeepInstalledFiles(folders, installed, plan, linksFiles, created) ||
        !MakePackageFolders(folders.staging, packageFolders, created) || !MarkFolderComplete(folders.staging)) {
        return PatchAttempt::FAILED;
    }
    if (SwitchToStagedLibraries(folders)) {
        return PatchAttempt::INSTALLED;
    }
    return PatchInPlace(folders, installed, entries, plan, packageFolders) ? PatchAttempt::INSTALLED
                                                                           : PatchAttempt::FAILED;
}

} // namespace

void ThrowExtractionFailure(const std::string& reason)
{
    throw std::runtime_error("Library extraction failed: " + reason);
}

bool PatchLibraries(LibraryFolders& folders, HWND window, const ChecksumList& list,
                    const std::vector<FileDigest>& installed, const std::vector<const wchar_t*>& baseUrls,
                    ZipImage& wholePackage, bool& otherBytes)
{
    const bool linksFiles = VolumeLinksFiles(folders.staging);
    for (const wchar_t* baseUrl : baseUrls) {
        RemoteFile package;
        package.url = baseUrl + std::wstring(L"lib.zip");
        TransferProgress progress;
        progress.window = window;
        PatchSource source = {package, progress, wholePackage, otherBytes};
        PatchAttempt attempt = PatchAttempt::FAILED;
        try {
            attempt = PatchFromMirror(source, folders, list, installed, linksFiles);
        } catch (const std::bad_alloc&) {
            // Memory that ran out fails this attempt only: lib is as it was (an in-place patch puts it back first).
            attempt = PatchAttempt::FAILED;
        } catch (...) {
            RemoveStagingFolder(folders);
            throw;
        }
        if (attempt == PatchAttempt::INSTALLED) {
            return true;
        }
        // What one mirror wrote is never mixed with another's. A staging folder that still reads as complete is not
        // emptied: it would read as a whole empty release to the next run. It stays whole and is not used again.
        MarkFolderIncomplete(folders.staging);
        if (!IsMarkedIncomplete(folders.staging)) {
            return false;
        }
        EmptyKeepingMarks(folders.staging);
        // A lib that a failed in-place patch could not put back is mended by the whole package alone.
        if (attempt == PatchAttempt::WHOLE_PACKAGE || !IsLibraryWhole(folders.library)) {
            break;
        }
    }
    return false;
}
