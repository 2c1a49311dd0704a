#pragma once

#include <string>

// The library folder and its two companions: new libraries are unpacked into a staging folder and take the library
// folder's place only when whole, while the installed ones wait under the previous name. A small mark file inside a
// folder tells, after any kill, whether its files are whole and whether the folder is the updater's own: a player's or
// a tool's folder of one of these names carries no mark and is left alone. Included by update/ files only.

// The mark written into a folder once every file in it is whole; it travels with the folder when it is renamed.
extern const wchar_t* const COMPLETE_MARK_NAME;
// The mark a folder carries while it is filled (staging) or refilled in place (the library folder); it outweighs the
// other one.
extern const wchar_t* const INCOMPLETE_MARK_NAME;

// True for the two mark names (any letter case), which the library check and every walk of a library tree ignore.
bool IsLibraryMarkName(const std::wstring& name);

// A folder, not a link to one: a link is never the updater's own, and the library folder is never followed elsewhere.
bool IsPlainDirectory(const std::wstring& path);
// Flushes a file's data to the disk before something vouches for it; a file that cannot be opened for it is left to
// the system's own writing.
void FlushFileToDisk(const std::wstring& path);
// Removes everything in a folder but its marks, so that it stays the updater's own; held files are moved aside and
// stay in it.
void EmptyKeepingMarks(const std::wstring& folder);

// "lib", a staging folder ("lib_new" unless MakeStagingFolder chose another) and the previous libraries ("lib_old"
// unless MakeStagingFolder chose another); no trailing backslash.
struct LibraryFolders {
    std::wstring library;
    std::wstring staging;
    std::wstring previous;
};

// The default names below the program directory (which ends in a backslash).
LibraryFolders LibraryFoldersOf(const std::wstring& programDirectory);

// True when the folder carries the complete mark and not the incomplete one.
bool IsMarkedComplete(const std::wstring& folder);
// True when the folder carries the incomplete mark.
bool IsMarkedIncomplete(const std::wstring& folder);
// True for a library folder the game can use: it exists and is not being refilled (a folder without marks, as an
// installer or an older updater left it, counts as whole).
bool IsLibraryWhole(const std::wstring& folder);

// Flushes every file below the folder to the disk, then writes the complete mark (flushed) and removes the
// incomplete one. False when the mark could not be written or the incomplete one removed. Throws std::bad_alloc.
bool MarkFolderComplete(const std::wstring& folder);
// Flushes every file below the library folder to the disk, then removes both marks: a whole library folder holds
// the release's files and nothing of the updater's. False when the incomplete mark stays. Throws std::bad_alloc.
bool MarkLibraryWhole(const std::wstring& library);
// Writes the incomplete mark (flushed), then removes the complete one. False when either failed. Throws
// std::bad_alloc.
bool MarkFolderIncomplete(const std::wstring& folder);

// Run right after the sweep, before anything can fail: finishes or undoes what a killed run left. When "lib" is
// missing or marked incomplete, a complete staging folder or else the complete previous libraries take its place;
// the previous libraries are removed only once "lib" is whole; staging folders and mark-carrying leftovers of the
// updater's own are removed; folders without marks are never touched. Never throws for a file-system error; throws
// std::bad_alloc.
void FinishInterruptedSwitch(const std::wstring& programDirectory);

// Makes an empty staging folder carrying the incomplete mark, and chooses a previous name that is free, each under
// another name when the usual one is taken (a folder of someone else's, or one Windows is still deleting). False
// when none can be made, with refusal the Windows error code of creating a fresh name: a write refusal there means
// the program directory itself refuses writes; otherwise the libraries can still be refilled in place. Throws
// std::bad_alloc.
bool MakeStagingFolder(const std::wstring& programDirectory, LibraryFolders& folders, unsigned long& refusal);

// Removes the staging folder when it is the updater's own (it carries a mark); anything still held in it stays,
// with its mark, for the next run. Throws std::bad_alloc.
void RemoveStagingFolder(const LibraryFolders& folders);

// Puts the complete, marked staging folder in the library folder's place: "lib" to the previous name, the staging
// folder to "lib", each rename retried while a file in the folder is held. True: the staging folder is "lib" now and
// the previous libraries are removed. False: "lib" is as it was (or, when even putting it back failed, waits whole
// under the previous name for the next run) and the staging folder is still there. Throws std::bad_alloc.
bool SwitchToStagedLibraries(const LibraryFolders& folders);

// Before refilling "lib" where it stands: creates it when missing, marks it incomplete and empties it, moving held
// files aside. False, with the Windows error code, when the mark cannot be written: "lib" is then untouched. Throws
// std::bad_alloc.
bool PrepareInPlaceRefill(const LibraryFolders& folders, unsigned long& error);
// After every file of the refill is whole: marks "lib" complete and removes the previous libraries a failed switch
// of this or an earlier run kept. Throws std::bad_alloc.
void FinishInPlaceRefill(const LibraryFolders& folders);

// Brings the "bass*.dll" copies beside the game in line with the top of a whole library folder (nothing for one
// marked incomplete): each differing copy is written under a temporary name and then replaces the old one in one
// step, waiting out a program that holds it, so that no copy is ever half written. Gives up on a copy silently.
// Throws std::bad_alloc.
void RefreshBassCopies(const std::wstring& programDirectory, const std::wstring& libraryDirectory);
