#pragma once

#include "update/checksum_list.h"
#include "update/library_switch.h"

#include "archive/archive.h"

#include <windows.h>

#include <string>
#include <vector>

// Bringing an installed lib to a listed release by fetching only what it lacks: the package's central directory
// and the entries whose listed SHA-256 no installed file has, by byte range. Internal to the update phases.

// Every file below lib (paths below it) with the SHA-256 it has, hashed on the pool; a file that cannot be read gets
// no digest that a list could name. False when lib is missing, holds a link or cannot be listed: nothing can be kept
// from it then. Throws std::bad_alloc.
bool HashInstalledLibraries(const std::wstring& libraryDirectory, std::vector<FileDigest>& installed);

// True when the installed files (as HashInstalledLibraries gives them) are exactly the list's "lib/..." files, each
// with its listed digest.
bool HoldsListedFiles(const std::vector<FileDigest>& installed, const ChecksumList& list);

// Throws "Library extraction failed: " followed by the reason, the one text of the library phase's failures.
[[noreturn]] void ThrowExtractionFailure(const std::string& reason);

// Tries each mirror's "lib.zip" in turn: reads its end records and central directory by ranges; when its entries
// name exactly the list's files and fetching the missing ones costs less than the whole package, fetches those
// into the empty staging folder (each checked against its list line: a mismatch is a failed attempt at that mirror
// and sets otherBytes), adds the installed files the release keeps, and switches lib to it, or replaces the
// changed files where they stand when lib cannot be moved. Throws "Library extraction failed: ..." when the disk
// fails it; lib is then as it was, or marked incomplete for the next run to repair. True when lib holds the listed
// release. False: the whole package is to be fetched (a mirror that cannot patch, or no mirror whose ranges could
// be used; a server that mishandles ranges may still serve the whole file); wholePackage holds it when a mirror
// already sent it whole. Throws std::bad_alloc.
bool PatchLibraries(LibraryFolders& folders, HWND window, const ChecksumList& list,
                    const std::vector<FileDigest>& installed, const std::vector<const wchar_t*>& baseUrls,
                    ZipImage& wholePackage, bool& otherBytes);
