// The patch where lib stands, when lib cannot be moved: every file the release replaces or drops is renamed aside
// first, so that a file held without delete sharing stops the patch before anything of the release is in lib, and
// what was set aside comes back under its own name when anything fails.
#include "update/library_patch.h"

#include "update/library_switch.h"
#include "update/patch_plan.h"

#include "archive/archive.h"
#include "fs/fs.h"

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace {

// A library held by the game or a tool is waited for as long as a held copy beside the game. The ladder itself moves
// nothing aside: setting aside is the attempt, and a copy moved aside by the ladder would be deleted, never put back.
const int SET_ASIDE_ATTEMPTS = 10;
const HeldFileRetries SET_ASIDE_RETRIES = {SET_ASIDE_ATTEMPTS, 0, 0};
// Putting a file back under its name waits out a scanner that opened it in between.
const HeldFileRetries PUT_BACK_RETRIES = {SET_ASIDE_ATTEMPTS, 0, 0};

// A file or folder of lib renamed out of the release's way, kept until the end so that it can come back.
struct SetAside {
    std::wstring path;
    std::wstring aside;
    DWORD attributes; // as they were: the ladder clears blocking ones on a refusal
    bool folder;
};

// What the patch changed in lib so far, undone in reverse order.
struct InPlaceChanges {
    std::vector<SetAside> asides;
    std::vector<std::wstring> movedIn;     // the release's files now in lib
    std::vector<std::wstring> madeFolders; // folders made in lib, parents first
};

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Renames what stands at path to an aside name beside it, waiting for a holder as for a held library; true with
// nothing to do when nothing stands there. False when it stays where it is.
bool SetAsideIfPresent(const std::wstring& path, InPlaceChanges& changes)
{
    const DWORD attributes = GetFileAttributesW(MakeLongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsMissing(GetLastError());
    }
    SetAside entry = {path, std::wstring(), attributes, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
    const auto rename = [&]() -> unsigned long {
        entry.aside = FreeAsideName(path);
        if (entry.aside.empty()) {
            return ERROR_ALREADY_EXISTS;
        }
        return MoveFileExW(MakeLongPath(path).c_str(), MakeLongPath(entry.aside).c_str(), 0) ? ERROR_SUCCESS
                                                                                             : GetLastError();
    };
    unsigned long error = 0;
    if (!RetryWhileHeld(path, SET_ASIDE_RETRIES, rename, error)) {
        return false;
    }
    // Room was reserved: recording a rename that happened cannot fail.
    changes.asides.push_back(entry);
    return true;
}

// Brings the release into lib; empty when it is all there, else the reason of the first step that failed.
std::string ApplyPatch(const LibraryFolders& folders, const std::vector<FileDigest>& installed,
                       const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                       const std::vector<std::wstring>& packageFolders, InPlaceChanges& changes)
{
    const std::wstring library = WithTrailingBackslash(folders.library);
    const std::wstring staging = WithTrailingBackslash(folders.staging);
    changes.asides.reserve(plan.removed.size() + plan.fetched.size());
    changes.movedIn.reserve(plan.fetched.size());
    // The dropped files first: one of them may stand where a folder of the release goes.
    for (size_t index : plan.removed) {
        if (!SetAsideIfPresent(library + installed[index].path, changes)) {
            return "cannot remove " + WideToUtf8(installed[index].path);
        }
    }
    // A changed file, or a folder where the release has a file.
    for (size_t index : plan.fetched) {
        if (!SetAsideIfPresent(library + entries[index].path, changes)) {
            return "cannot replace " + WideToUtf8(entries[index].path);
        }
    }
    std::set<std::wstring> created;
    for (size_t index : plan.fetched) {
        const std::wstring& path = entries[index].path;
        ZipCreateParentDirs(library, path, created, &changes.madeFolders);
        if (!MoveFileExW(MakeLongPath(staging + path).c_str(), MakeLongPath(library + path).c_str(), 0)) {
            return "cannot replace " + WideToUtf8(path);
        }
        changes.movedIn.push_back(library + path);
    }
    for (const std::wstring& folder : packageFolders) {
        ZipCreateParentDirs(library, folder + L"\\", created, &changes.madeFolders);
        if (!IsPlainDirectory(library + folder)) {
            return "cannot write " + WideToUtf8(folder);
        }
    }
    return std::string();
}

// Takes the release's files back out of lib and puts what was set aside back under its names. True when lib holds
// exactly what it held before.
bool UndoPatch(const InPlaceChanges& changes)
{
    bool undone = true;
    for (auto file = changes.movedIn.rbegin(); file != changes.movedIn.rend(); ++file) {
        DeleteFileOrMoveAside(*file);
        undone = undone && GetFileAttributesW(MakeLongPath(*file).c_str()) == INVALID_FILE_ATTRIBUTES;
    }
    for (auto folder = changes.madeFolders.rbegin(); folder != changes.madeFolders.rend(); ++folder) {
        undone = RemoveDirectoryW(MakeLongPath(*folder).c_str()) && undone;
    }
    for (auto entry = changes.asides.rbegin(); entry != changes.asides.rend(); ++entry) {
        const std::wstring from = MakeLongPath(entry->aside);
        const std::wstring to = MakeLongPath(entry->path);
        const auto putBack = [&]() -> unsigned long {
            return MoveFileExW(from.c_str(), to.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
        };
        unsigned long error = 0;
        if (!RetryWhileHeld(entry->aside, PUT_BACK_RETRIES, putBack, error)) {
            undone = false;
            continue;
        }
        if (GetFileAttributesW(to.c_str()) != entry->attributes) {
            SetFileAttributesW(to.c_str(), entry->attributes);
        }
    }
    return undone;
}

// Once the release is whole in lib, what was set aside goes (a held file at the next restart, or by a later run's
// sweep: an aside name is never taken for a library).
void DiscardSetAside(const InPlaceChanges& changes)
{
    for (auto entry = changes.asides.rbegin(); entry != changes.asides.rend(); ++entry) {
        if (entry->folder) {
            RemoveDirectoryTree(entry->aside);
        } else {
            DeleteFileOrMoveAside(entry->aside);
        }
    }
}

} // namespace

bool PatchInPlace(const LibraryFolders& folders, const std::vector<FileDigest>& installed,
                  const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                  const std::vector<std::wstring>& packageFolders)
{
    // The staging folder stops reading as complete before its first file leaves it: after a kill the next run would
    // otherwise put what is left of it in lib's place. lib reads incomplete until the release is whole in it, so
    // that a kill in between is repaired by the next run. lib was whole: a failure puts its complete mark back.
    if (!MarkFolderIncomplete(folders.staging)) {
        return false;
    }
    if (!MarkFolderIncomplete(folders.library)) {
        MarkLibraryWhole(folders.library);
        return false;
    }
    InPlaceChanges changes;
    std::string failure;
    try {
        failure = ApplyPatch(folders, installed, entries, plan, packageFolders, changes);
    } catch (...) {
        if (UndoPatch(changes)) {
            MarkLibraryWhole(folders.library);
        }
        throw;
    }
    if (!failure.empty()) {
        // What cannot be put back leaves lib marked incomplete, for the next run to refill.
        if (UndoPatch(changes)) {
            MarkLibraryWhole(folders.library);
        }
        ThrowExtractionFailure(failure);
    }
    DiscardSetAside(changes);
    RemoveStagingFolder(folders);
    FinishInPlaceRefill(folders);
    return true;
}
