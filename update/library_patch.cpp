#include "update/library_patch.h"

#include "update/library_switch.h"
#include "update/patch_plan.h"

#include "archive/archive.h"
#include "download/download.h"
#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace {

// A library held by the game or a tool gets the ladder of the copies beside the game when a patch has to replace
// or remove it where it stands.
const HeldFileRetries IN_PLACE_RETRIES = {10, 3, 6};
// WriteFile counts in 32 bits.
const size_t WRITE_PIECE_BYTES = 0x40000000;

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

bool WriteNewFile(const std::wstring& path, const std::vector<uint8_t>& data)
{
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    const KernelHandle file(opened);
    for (size_t written = 0; written < data.size();) {
        const DWORD piece = static_cast<DWORD>(std::min(data.size() - written, WRITE_PIECE_BYTES));
        DWORD done = 0;
        if (!WriteFile(file.get(), data.data() + written, piece, &done, nullptr) || done == 0) {
            return false;
        }
        written += done;
    }
    return true;
}

// The central directory's bytes: the part the tail already holds is not fetched again.
RangeAnswer FetchDirectory(PatchSource& source, const DownloadedBytes& tail, const PackageDirectoryLocation& location,
                           DownloadedBytes& directory)
{
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
    return RangeAnswer::PART;
}

// Checks one fetched entry against its list line and writes it into the staging folder; false when the mirror's
// bytes are not the listed ones.
bool StageEntry(PatchSource& source, const RangedEntry& entry, const Sha256Digest& listed, const unsigned char* span,
                size_t spanSize, const std::wstring& staging, std::set<std::wstring>& created)
{
    std::vector<uint8_t> data;
    std::string reason;
    if ((entry.spanLength > 0 && !UnpackEntrySpan(entry, span, spanSize, data, reason)) ||
        data.size() != entry.uncompressedSize || !BytesHaveDigest(data.data(), data.size(), listed)) {
        source.otherBytes = true;
        return false;
    }
    ZipCreateParentDirs(WithTrailingBackslash(staging), entry.path, created);
    if (!WriteNewFile(WithTrailingBackslash(staging) + entry.path, data)) {
        ThrowExtractionFailure("cannot write " + WideToUtf8(entry.path));
    }
    return true;
}

// Gives the staging folder the installed files that the release keeps, as hard links where the volume allows
// (nothing is copied), else as copies.
void KeepInstalledFiles(const LibraryFolders& folders, const std::vector<FileDigest>& installed, const PatchPlan& plan,
                        std::set<std::wstring>& created)
{
    for (size_t index : plan.kept) {
        const std::wstring& path = installed[index].path;
        const std::wstring source = MakeLongPath(WithTrailingBackslash(folders.library) + path);
        const std::wstring target = MakeLongPath(WithTrailingBackslash(folders.staging) + path);
        ZipCreateParentDirs(WithTrailingBackslash(folders.staging), path, created);
        if (!CreateHardLinkW(target.c_str(), source.c_str(), nullptr) &&
            !CopyFileW(source.c_str(), target.c_str(), TRUE)) {
            ThrowExtractionFailure("cannot keep " + WideToUtf8(path));
        }
    }
}

// When lib cannot be moved (a file in it held open), the fetched files replace theirs where they stand and the
// files the release no longer names go; lib stays marked incomplete until the last one is done, so that a kill in
// between is repaired by the next run. lib is never emptied. The staging folder stops reading as complete before
// its first file leaves it: after a kill the next run would otherwise put what is left of it in lib's place.
void PatchInPlace(const LibraryFolders& folders, const std::vector<FileDigest>& installed,
                  const std::vector<RangedEntry>& entries, const PatchPlan& plan)
{
    if (!MarkFolderIncomplete(folders.staging) || !MarkFolderIncomplete(folders.library)) {
        RemoveStagingFolder(folders);
        ThrowExtractionFailure("cannot write " + WideToUtf8(INCOMPLETE_MARK_NAME));
    }
    std::set<std::wstring> created;
    for (size_t index : plan.fetched) {
        const std::wstring& path = entries[index].path;
        const std::wstring from = MakeLongPath(WithTrailingBackslash(folders.staging) + path);
        const std::wstring to = WithTrailingBackslash(folders.library) + path;
        ZipCreateParentDirs(WithTrailingBackslash(folders.library), path, created);
        const auto move = [&]() -> DWORD {
            return MoveFileExW(from.c_str(), MakeLongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING) ? ERROR_SUCCESS
                                                                                                  : GetLastError();
        };
        DWORD error = 0;
        if (!RetryWhileHeld(to, IN_PLACE_RETRIES, move, error)) {
            RemoveStagingFolder(folders);
            ThrowExtractionFailure("cannot replace " + WideToUtf8(path));
        }
    }
    for (size_t index : plan.removed) {
        const std::wstring file = WithTrailingBackslash(folders.library) + installed[index].path;
        const auto remove = [&]() -> DWORD {
            return DeleteFileW(MakeLongPath(file).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS
                                                                                                     : GetLastError();
        };
        DWORD error = 0;
        RetryWhileHeld(file, IN_PLACE_RETRIES, remove, error);
    }
    RemoveStagingFolder(folders);
    FinishInPlaceRefill(folders);
}

// Fetches the plan's requests into the staging folder, posting progress over the bytes to fetch.
PatchAttempt FetchPlannedEntries(PatchSource& source, const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                                 const ChecksumList& list, const std::wstring& staging, std::set<std::wstring>& created)
{
    source.progress.total = plan.bytes;
    for (const PatchRequest& request : plan.requests) {
        DownloadedBytes span;
        const RangeAnswer answer =
            FetchRange(source.package, request.offset, request.length, PACKAGE_MAX_BYTES, &source.progress, span);
        if (answer == RangeAnswer::WHOLE_FILE) {
            // The package changed on the mirror since its directory was read: the new file's bytes are never
            // spliced with the old one's; the new file is the whole package.
            source.wholePackage = std::move(span);
            return PatchAttempt::WHOLE_PACKAGE;
        }
        if (answer == RangeAnswer::FAILED) {
            return PatchAttempt::FAILED;
        }
        for (size_t index : request.entries) {
            const size_t at = static_cast<size_t>(entries[index].spanOffset - request.offset);
            const Sha256Digest& listed = list.libraryFiles[plan.listedOf[index]].digest;
            const size_t spanSize = static_cast<size_t>(std::min<uint64_t>(entries[index].spanLength, span.size - at));
            if (!StageEntry(source, entries[index], listed, span.bytes.get() + at, spanSize, staging, created)) {
                return PatchAttempt::FAILED;
            }
        }
    }
    // An empty file needs no bytes from the mirror.
    for (size_t index : plan.fetched) {
        if (entries[index].spanLength == 0 &&
            !StageEntry(source, entries[index], list.libraryFiles[plan.listedOf[index]].digest, nullptr, 0, staging,
                        created)) {
            return PatchAttempt::FAILED;
        }
    }
    return PatchAttempt::INSTALLED;
}

PatchAttempt PatchFromMirror(PatchSource& source, LibraryFolders& folders, const ChecksumList& list,
                             const std::vector<FileDigest>& installed)
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
    const RangeAnswer directoryAnswer = FetchDirectory(source, tail, location, directory);
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

    std::set<std::wstring> created;
    const PatchAttempt fetched = FetchPlannedEntries(source, entries, plan, list, folders.staging, created);
    if (fetched != PatchAttempt::INSTALLED) {
        return fetched;
    }

    PostStatus(source.progress.window, L"Extracting libraries...");
    PostProgress(source.progress.window, 100);
    KeepInstalledFiles(folders, installed, plan, created);
    if (!MarkFolderComplete(folders.staging)) {
        ThrowExtractionFailure("cannot finish " + WideToUtf8(folders.staging));
    }
    if (SwitchToStagedLibraries(folders)) {
        return PatchAttempt::INSTALLED;
    }
    PatchInPlace(folders, installed, entries, plan);
    return PatchAttempt::INSTALLED;
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
    for (const wchar_t* baseUrl : baseUrls) {
        RemoteFile package;
        package.url = baseUrl + std::wstring(L"lib.zip");
        TransferProgress progress;
        progress.window = window;
        PatchSource source = {package, progress, wholePackage, otherBytes};
        PatchAttempt attempt = PatchAttempt::FAILED;
        try {
            attempt = PatchFromMirror(source, folders, list, installed);
        } catch (...) {
            RemoveStagingFolder(folders);
            throw;
        }
        if (attempt == PatchAttempt::INSTALLED) {
            return true;
        }
        // What one mirror wrote is never mixed with another's; the staging folder keeps its incomplete mark.
        EmptyKeepingMarks(folders.staging);
        if (attempt == PatchAttempt::WHOLE_PACKAGE) {
            break;
        }
    }
    return false;
}
