#pragma once

#include "update/checksum_list.h"
#include "update/library_switch.h"
#include "update/patch_plan.h"

#include "archive/archive.h"
#include "download/download.h"

#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// Bringing an installed lib to a listed release by fetching only what it lacks: the package's central directory
// and the entries whose listed SHA-256 no installed file has, by byte range. Internal to the update phases.
//
// A patch holds at most 8 MiB beyond the central directory, whatever a mirror's records claim. The directory is
// fetched and parsed (its parse and plan take about 11 times its bytes) only when its end record leaves no more
// records and bytes than the list's files could take (DirectoryMayMatch). Every entry then goes from the network
// through one 64 KiB read buffer and its unpacking (zlib's state and window, one 64 KiB output piece) into its
// staging file, hashed as it is written: nothing held grows with an entry or a request. The rest is WinINet's and
// the hashing pool's: patching a changed file of 1 GiB (deflated) or 600 MiB (stored) peaked 6.3 MiB above the
// library phase's start under Wine.

// Every file below lib (paths below it) with the SHA-256 it has, hashed on the pool; a file that cannot be read gets
// no digest that a list could name. False when lib is missing, holds a link or cannot be listed: nothing can be kept
// from it then. Throws std::bad_alloc.
bool HashInstalledLibraries(const std::wstring& libraryDirectory, std::vector<FileDigest>& installed);

// True when the installed files (as HashInstalledLibraries gives them) are exactly the list's "lib/..." files, each
// with its listed digest.
bool HoldsListedFiles(const std::vector<FileDigest>& installed, const ChecksumList& list);

// Throws "Library extraction failed: " followed by the reason, the one text of the library phase's failures.
[[noreturn]] void ThrowExtractionFailure(const std::string& reason);

// Whether a central directory, judged by its end record alone, could name exactly the listed files: a directory
// with more records or bytes than those files and their folders could take is neither fetched nor parsed.
bool DirectoryMayMatch(const PackageDirectoryLocation& location, const std::vector<LibraryFileChecksum>& listed);

// What became of fetching a patch's entries into the staging folder.
enum class PatchFetch {
    STAGED,        // every fetched entry is there with its listed digest
    WHOLE_FILE,    // the mirror answered with the whole package, which changed since its directory was read
    CANNOT_STREAM, // entries share bytes: the package cannot be patched in one pass over them
    FAILED,        // a transfer, or a write Windows refused, or memory that ran out; otherBytes when the mirror's
                   // bytes are not the listed ones
};

// Fetches the plan's requests (progress over them) and streams each entry from the network through its unpacking
// into its file below staging, hashed as it is written and compared with its list line at its end; an empty file is
// made without a request. whole holds the package a WHOLE_FILE answer brought. Never throws.
PatchFetch FetchPatchEntries(RemoteFile& package, TransferProgress& progress, const std::vector<RangedEntry>& entries,
                             const PatchPlan& plan, const ChecksumList& list, const std::wstring& staging,
                             std::set<std::wstring>& created, DownloadedBytes& whole, bool& otherBytes);

// Tries each mirror's "lib.zip" in turn: reads its end records and central directory by ranges; when its entries
// name exactly the list's files, fetching the missing ones costs less than the whole package and the disk holds
// them (and the kept files, where the volume makes no hard links), fetches those into the empty staging folder
// (each checked against its list line: a mismatch is a failed attempt at that mirror and sets otherBytes), adds the
// installed files the release keeps and the release's empty folders, and switches lib to it, or patches lib where
// it stands when lib cannot be moved (PatchInPlace). Any other failure (a refused write, link, copy or mark, too
// little room, memory that ran out) is a failed attempt at that mirror. True when lib holds the listed release.
// False: the whole package is to be fetched (no mirror could patch; a server that mishandles ranges may still serve
// the whole file); wholePackage holds it when a mirror already sent it whole. The staging folder is then empty and
// marked incomplete, or, when it can no longer be marked so, left as it is and not to be used. Throws the in-place
// patch's failure.
bool PatchLibraries(LibraryFolders& folders, HWND window, const ChecksumList& list,
                    const std::vector<FileDigest>& installed, const std::vector<const wchar_t*>& baseUrls,
                    ZipImage& wholePackage, bool& otherBytes);

// When lib cannot be moved (a file in it held open): moves the staged files into lib, drops the files the release no
// longer names and makes its empty folders. Every file to replace or drop is first renamed aside, waiting for a
// holder; lib reads incomplete until the release is whole in it. False, with lib as it was, when lib could not be
// marked incomplete. Throws "Library extraction failed: cannot replace X" (or "cannot remove X") when a file stays
// held, after putting back everything it changed (lib stays marked incomplete only when that fails). Throws
// std::bad_alloc, lib put back.
bool PatchInPlace(const LibraryFolders& folders, const std::vector<FileDigest>& installed,
                  const std::vector<RangedEntry>& entries, const PatchPlan& plan,
                  const std::vector<std::wstring>& packageFolders);

// What a volume answers about room for a staging copy.
struct VolumeRoom {
    uint64_t availableBytes = 0; // free to this user
    uint64_t clusterBytes = 0;
};

// What a file or folder takes beyond its clusters: its record in the volume's file table and its entry in the
// folder's index.
const uint64_t RECORD_ALLOWANCE_BYTES = 4096;
// Room kept free beyond a staging copy, so that it never fills the disk.
const uint64_t SPARE_DISK_BYTES = 64ull * 1024 * 1024;

// The room on the volume of a folder (ending in a backslash); the usual 4 KiB clusters when the volume does not tell
// its own. False when it does not tell the free bytes.
bool ReadVolumeRoom(const std::wstring& folder, VolumeRoom& room);

// True when a staging copy of neededBytes (clusters and records, as PackageDiskBytes and PatchDiskBytes count them)
// leaves SPARE_DISK_BYTES free.
bool RoomHolds(const VolumeRoom& room, uint64_t neededBytes);
