#include "update/library_switch.h"

#include "archive/archive.h"
#include "fs/fs.h"
#include "fs/handles.h"

#include <windows.h>

#include <vector>

// The package tool refuses a release file of either name: the names live with the package rules it shares.
const wchar_t* const COMPLETE_MARK_NAME = LIBRARY_COMPLETE_MARK_NAME;
const wchar_t* const INCOMPLETE_MARK_NAME = LIBRARY_INCOMPLETE_MARK_NAME;

namespace {

const wchar_t LIBRARY_NAME[] = L"lib";
// A folder of someone else's, or one Windows is still deleting, may stand under the usual name: the updater then
// works under the next one. Each name is looked for by the next run.
const wchar_t* const STAGING_NAMES[] = {L"lib_new", L"lib_new2", L"lib_new3"};
const wchar_t* const PREVIOUS_NAMES[] = {L"lib_old", L"lib_old2", L"lib_old3"};
// Said to a player who opens the folder; the updater itself goes by the name alone.
const char COMPLETE_MARK_TEXT[] = "Written by the Vorlance updater: every file in this folder is whole.\r\n";
const char INCOMPLETE_MARK_TEXT[] = "Written by the Vorlance updater: this folder is being filled; its files may be "
                                    "incomplete.\r\n";
// A scanner that opens a freshly written library makes Windows refuse to rename its folder for a moment: the same
// attempts and pauses as for a held library, without moving anything aside (a folder's name is not what is held).
const int FOLDER_RENAME_ATTEMPTS = 10;
const HeldFileRetries FOLDER_RENAME_RETRIES = {FOLDER_RENAME_ATTEMPTS, 0, 0};

std::wstring InFolder(const std::wstring& folder, const wchar_t* name)
{
    return WithTrailingBackslash(folder) + name;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(MakeLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Nothing stands under the name, and Windows is not still deleting something of that name (which it reports as
// access denied).
bool IsFreeName(const std::wstring& path)
{
    if (GetFileAttributesW(MakeLongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool HasMark(const std::wstring& folder)
{
    return IsPlainDirectory(folder) &&
           (Exists(InFolder(folder, COMPLETE_MARK_NAME)) || Exists(InFolder(folder, INCOMPLETE_MARK_NAME)));
}

// Writes a mark and flushes it to the disk, so that a power cut cannot leave a mark the disk never received. False
// with the Windows error code when it failed.
bool WriteMark(const std::wstring& folder, const wchar_t* name, const char* text, DWORD& error)
{
    const std::wstring path = InFolder(folder, name);
    ClearBlockingAttributes(path);
    const HANDLE opened = CreateFileW(MakeLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    KernelHandle file(opened);
    const DWORD length = static_cast<DWORD>(lstrlenA(text));
    DWORD written = 0;
    if (!WriteFile(file.get(), text, length, &written, nullptr) || written != length || !FlushFileBuffers(file.get())) {
        error = GetLastError();
        return false;
    }
    return true;
}

bool DeleteMark(const std::wstring& folder, const wchar_t* name)
{
    const std::wstring path = MakeLongPath(InFolder(folder, name));
    ClearBlockingAttributes(path);
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

// The files' data reaches the disk before the mark that vouches for it.
void FlushFilesBelow(const std::wstring& folder)
{
    WalkDirectory(folder, L"*", WalkOrder::DIRECTORY_FIRST, [](const DirectoryEntry& entry) {
        if (!entry.directory && !entry.link) {
            FlushFileToDisk(entry.path);
        }
        return true;
    });
}

bool RenameFolder(const std::wstring& from, const std::wstring& to)
{
    const std::wstring longFrom = MakeLongPath(from);
    const std::wstring longTo = MakeLongPath(to);
    const auto rename = [&]() -> unsigned long {
        return MoveFileExW(longFrom.c_str(), longTo.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
    };
    unsigned long error = 0;
    return RetryWhileHeld(from, FOLDER_RENAME_RETRIES, rename, error);
}

// The entries directly in a folder, gathered before any of them is changed.
std::vector<DirectoryEntry> EntriesOf(const std::wstring& folder, const wchar_t* pattern)
{
    std::vector<DirectoryEntry> entries;
    WalkDirectory(folder, pattern, WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        entries.push_back(entry);
        return true;
    });
    return entries;
}

bool HoldsOnlyMarks(const std::wstring& folder)
{
    bool onlyMarks = true;
    const bool listed = WalkDirectory(folder, L"*", WalkOrder::ONE_LEVEL, [&](const DirectoryEntry& entry) {
        onlyMarks = IsLibraryMarkName(entry.name) && !entry.directory;
        return onlyMarks;
    });
    return listed && onlyMarks;
}

// Removes a folder of the updater's own. It is marked incomplete first, so that a removal cut short never leaves a
// folder that reads as whole; its marks go last, so that what a holder keeps in it is still known as the updater's.
void RemoveOwnFolder(const std::wstring& folder)
{
    if (!HasMark(folder) || !MarkFolderIncomplete(folder)) {
        return;
    }
    EmptyKeepingMarks(folder);
    if (HoldsOnlyMarks(folder) && DeleteMark(folder, INCOMPLETE_MARK_NAME) && DeleteMark(folder, COMPLETE_MARK_NAME)) {
        RemoveDirectoryW(MakeLongPath(folder).c_str());
    }
}

template <size_t N>
std::vector<std::wstring> OwnFolders(const std::wstring& programDirectory, const wchar_t* const (&names)[N])
{
    std::vector<std::wstring> own;
    for (const wchar_t* name : names) {
        if (HasMark(programDirectory + name)) {
            own.push_back(programDirectory + name);
        }
    }
    return own;
}

// Moves a whole copy into the library folder's place. A library folder that is being refilled goes aside first and
// comes back when the copy cannot move in; anything else standing there is not the updater's to move.
bool PutInLibraryPlace(const std::wstring& source, const std::wstring& library)
{
    std::wstring aside;
    if (Exists(library)) {
        aside = IsMarkedIncomplete(library) ? FreeAsideName(library) : std::wstring();
        if (aside.empty() || !RenameFolder(library, aside)) {
            return false;
        }
    }
    if (RenameFolder(source, library)) {
        RemoveOwnFolder(aside);
        return true;
    }
    if (!aside.empty()) {
        RenameFolder(aside, library);
    }
    return false;
}

} // namespace

bool IsPlainDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(MakeLongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void FlushFileToDisk(const std::wstring& path)
{
    const HANDLE opened =
        CreateFileW(MakeLongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
        KernelHandle file(opened);
        FlushFileBuffers(file.get());
    }
}

void EmptyKeepingMarks(const std::wstring& folder)
{
    for (const DirectoryEntry& entry : EntriesOf(folder, L"*")) {
        if (entry.directory) {
            RemoveDirectoryTree(entry.path);
        } else if (!IsLibraryMarkName(entry.name)) {
            DeleteFileOrMoveAside(entry.path);
        }
    }
}

bool IsLibraryMarkName(const std::wstring& name)
{
    for (const wchar_t* mark : {COMPLETE_MARK_NAME, INCOMPLETE_MARK_NAME}) {
        if (CompareStringOrdinal(name.c_str(), static_cast<int>(name.size()), mark, -1, TRUE) == CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

LibraryFolders LibraryFoldersOf(const std::wstring& programDirectory)
{
    return {programDirectory + LIBRARY_NAME, programDirectory + STAGING_NAMES[0], programDirectory + PREVIOUS_NAMES[0]};
}

bool IsMarkedComplete(const std::wstring& folder)
{
    return IsPlainDirectory(folder) && Exists(InFolder(folder, COMPLETE_MARK_NAME)) && !IsMarkedIncomplete(folder);
}

bool IsMarkedIncomplete(const std::wstring& folder)
{
    return Exists(InFolder(folder, INCOMPLETE_MARK_NAME));
}

bool IsLibraryWhole(const std::wstring& folder)
{
    const DWORD attributes = GetFileAttributesW(MakeLongPath(folder).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           !IsMarkedIncomplete(folder);
}

bool MarkFolderComplete(const std::wstring& folder)
{
    FlushFilesBelow(folder);
    DWORD error = 0;
    return WriteMark(folder, COMPLETE_MARK_NAME, COMPLETE_MARK_TEXT, error) && DeleteMark(folder, INCOMPLETE_MARK_NAME);
}

bool MarkLibraryWhole(const std::wstring& library)
{
    FlushFilesBelow(library);
    // A folder without marks counts as whole; the complete mark is only needed where a folder waits under another
    // name, so the game's own folder never shows the player a file the release did not ship.
    return DeleteMark(library, INCOMPLETE_MARK_NAME) && DeleteMark(library, COMPLETE_MARK_NAME);
}

bool MarkFolderIncomplete(const std::wstring& folder)
{
    DWORD error = 0;
    return WriteMark(folder, INCOMPLETE_MARK_NAME, INCOMPLETE_MARK_TEXT, error) &&
           DeleteMark(folder, COMPLETE_MARK_NAME);
}

void FinishInterruptedSwitch(const std::wstring& programDirectory)
{
    const std::wstring library = programDirectory + LIBRARY_NAME;
    const std::vector<std::wstring> staging = OwnFolders(programDirectory, STAGING_NAMES);
    const std::vector<std::wstring> previous = OwnFolders(programDirectory, PREVIOUS_NAMES);
    if (!IsLibraryWhole(library)) {
        // The newest whole copy first: a staging folder finished before the kill, then the libraries it was to
        // replace.
        std::vector<std::wstring> whole;
        for (const std::vector<std::wstring>* group : {&staging, &previous}) {
            for (const std::wstring& folder : *group) {
                if (IsMarkedComplete(folder)) {
                    whole.push_back(folder);
                }
            }
        }
        for (const std::wstring& folder : whole) {
            if (PutInLibraryPlace(folder, library)) {
                break;
            }
        }
    }
    for (const std::wstring& folder : staging) {
        RemoveOwnFolder(folder);
    }
    // Until the library folder is whole, the previous libraries may be the only whole copy there is.
    if (IsLibraryWhole(library)) {
        for (const std::wstring& folder : previous) {
            RemoveOwnFolder(folder);
        }
        // A run killed right after its switch left the complete mark in the library folder.
        if (IsPlainDirectory(library)) {
            DeleteMark(library, COMPLETE_MARK_NAME);
        }
    }
    // A library folder that was set aside while being refilled, and could not be removed then.
    for (const DirectoryEntry& entry : EntriesOf(programDirectory, L"lib.old-*")) {
        if (entry.directory && IsAsideName(entry.name)) {
            RemoveOwnFolder(entry.path);
        }
    }
    // A removal killed between its last mark and the folder itself leaves an empty folder without marks. An empty
    // folder holds nothing of anyone's, so it goes whoever made it; Windows removes no folder that holds anything.
    for (const auto* names : {&STAGING_NAMES, &PREVIOUS_NAMES}) {
        for (const wchar_t* name : *names) {
            RemoveDirectoryW(MakeLongPath(programDirectory + name).c_str());
        }
    }
}

bool MakeStagingFolder(const std::wstring& programDirectory, LibraryFolders& folders, unsigned long& refusal)
{
    folders = LibraryFoldersOf(programDirectory);
    refusal = ERROR_SUCCESS;
    folders.staging.clear();
    folders.previous.clear();
    for (const wchar_t* name : PREVIOUS_NAMES) {
        if (folders.previous.empty() && IsFreeName(programDirectory + name)) {
            folders.previous = programDirectory + name;
        }
    }
    if (folders.previous.empty()) {
        return false;
    }
    for (const wchar_t* name : STAGING_NAMES) {
        const std::wstring staging = programDirectory + name;
        if (CreateDirectoryW(MakeLongPath(staging).c_str(), nullptr)) {
            if (MarkFolderIncomplete(staging)) {
                folders.staging = staging;
                return true;
            }
            refusal = GetLastError();
            RemoveDirectoryTree(staging);
            return false;
        }
        refusal = GetLastError();
        // A name something stands under, or that Windows is still deleting, says nothing about the program
        // directory: the next name does.
        if (!IsFreeName(staging)) {
            continue;
        }
        return false;
    }
    refusal = ERROR_SUCCESS;
    return false;
}

void RemoveStagingFolder(const LibraryFolders& folders)
{
    if (!folders.staging.empty()) {
        RemoveOwnFolder(folders.staging);
    }
}

bool SwitchToStagedLibraries(const LibraryFolders& folders)
{
    if (!IsMarkedComplete(folders.staging) || folders.previous.empty()) {
        return false;
    }
    const bool installed = Exists(folders.library);
    if (installed) {
        // Under the previous name the installed libraries must still read as the updater's own, so that a run
        // killed before the switch ends puts them back.
        DWORD error = 0;
        if (!IsPlainDirectory(folders.library) ||
            (!HasMark(folders.library) && !WriteMark(folders.library, COMPLETE_MARK_NAME, COMPLETE_MARK_TEXT, error)) ||
            !RenameFolder(folders.library, folders.previous)) {
            return false;
        }
    }
    if (RenameFolder(folders.staging, folders.library)) {
        if (installed) {
            RemoveOwnFolder(folders.previous);
        }
        // Its files were flushed before the staging folder was marked complete.
        DeleteMark(folders.library, COMPLETE_MARK_NAME);
        return true;
    }
    // When even this fails, the previous libraries stay whole under their name until the library folder is whole.
    if (installed) {
        RenameFolder(folders.previous, folders.library);
    }
    return false;
}

bool PrepareInPlaceRefill(const LibraryFolders& folders, unsigned long& error)
{
    CreateDirectoryW(MakeLongPath(folders.library).c_str(), nullptr);
    DWORD written = 0;
    if (!WriteMark(folders.library, INCOMPLETE_MARK_NAME, INCOMPLETE_MARK_TEXT, written)) {
        error = written;
        return false;
    }
    DeleteMark(folders.library, COMPLETE_MARK_NAME);
    EmptyKeepingMarks(folders.library);
    SweepAsideLeftovers(folders.library);
    return true;
}

void FinishInPlaceRefill(const LibraryFolders& folders)
{
    if (!MarkLibraryWhole(folders.library)) {
        return;
    }
    for (const std::wstring& folder : OwnFolders(FolderOf(folders.library), PREVIOUS_NAMES)) {
        RemoveOwnFolder(folder);
    }
}
