#include "update/update.h"

#include "update/library_patch.h"
#include "update/library_switch.h"
#include "update/signature.h"
#include "update/verified/verified_record.h"

#include "download/download.h"
#include "fs/fs.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// Orders and compares paths the way the file system matches names: ordinal, without regard to case.
int ComparePaths(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

bool PathLess(const std::wstring& a, const std::wstring& b)
{
    return ComparePaths(a, b) == CSTR_LESS_THAN;
}

// Collects the files below the library directory as paths relative to it, without the updater's marks. Leftovers
// under aside names are swept first and skipped when still held. False when the tree holds a link of any kind (the
// package never makes one, and following it could read outside the program directory) or a directory cannot be listed.
bool CollectLibraryFiles(const std::wstring& libraryDirectory, std::vector<std::wstring>& files)
{
    SweepAsideLeftovers(libraryDirectory);
    const size_t rootLength = WithTrailingBackslash(libraryDirectory).size();
    return WalkDirectory(libraryDirectory, L"*", WalkOrder::DIRECTORY_FIRST, [&](const DirectoryEntry& entry) {
        if (entry.link) {
            return false;
        }
        if (entry.directory) {
            SweepAsideLeftovers(entry.path);
        } else if (!IsAsideName(entry.name)) {
            // The updater's own marks at the top of the folder are no library files.
            const std::wstring relative = entry.path.substr(rootLength);
            if (!IsLibraryMarkName(relative)) {
                files.push_back(relative);
            }
        }
        return true;
    });
}

std::string TextOf(const DownloadedBytes& body)
{
    return std::string(reinterpret_cast<const char*>(body.bytes.get()), body.size);
}

// The list a mirror offers, parsed; in a build with release keys only with its signature from the same mirror:
// whoever controls a mirror can change both files there, but cannot sign. False when it offers none of that kind.
bool FetchOfferedList(const wchar_t* baseUrl, bool signedBuild, ChecksumList& offered)
{
    // No window: the list is a small extra, and the bar and texts of a run stay those of its two phases.
    DownloadedBytes body;
    if (!DownloadToMemory(baseUrl + std::wstring(L"SHA256SUMS"), nullptr, CHECKSUM_LIST_MAX_BYTES, body)) {
        return false;
    }
    const std::string text = TextOf(body);
    if (signedBuild) {
        DownloadedBytes signature;
        if (!DownloadToMemory(baseUrl + std::wstring(L"SHA256SUMS.sig"), nullptr, SIGNATURE_MAX_BYTES, signature) ||
            !VerifyChecksumListSignature(text, TextOf(signature))) {
            return false;
        }
    }
    return ParseChecksumList(text, offered);
}

} // namespace

ListOffer FetchChecksumList(ChecksumList& list, uint64_t oldestRelease)
{
    const bool signedBuild = ReleaseKeysBuiltIn();
    std::vector<const wchar_t*> refused;
    for (const wchar_t* baseUrl : VORLANCE_HOSTS) {
        ChecksumList offered;
        if (!FetchOfferedList(baseUrl, signedBuild, offered)) {
            continue;
        }
        // A signature says who wrote a list, not when: an older one, however well signed, would take the player
        // back. Its mirror lags behind or replays, and every other file there belongs to that older release.
        if (offered.release < oldestRelease) {
            refused.push_back(baseUrl);
            continue;
        }
        list = std::move(offered);
        list.refusedMirrors = std::move(refused);
        return ListOffer::TAKEN;
    }
    // Only when every mirror answered is the installed release known to be the newest; a mirror that did not answer
    // may hold a newer one.
    return refused.size() == std::size(VORLANCE_HOSTS) ? ListOffer::ONLY_OLDER : ListOffer::NONE;
}

bool FetchNewestChecksumList(ChecksumList& list)
{
    const bool signedBuild = ReleaseKeysBuiltIn();
    std::vector<std::pair<const wchar_t*, uint64_t>> answers;
    ChecksumList newest;
    for (const wchar_t* baseUrl : VORLANCE_HOSTS) {
        ChecksumList offered;
        if (!FetchOfferedList(baseUrl, signedBuild, offered)) {
            continue;
        }
        answers.emplace_back(baseUrl, offered.release);
        if (answers.size() == 1 || offered.release > newest.release) {
            newest = std::move(offered);
        }
    }
    if (answers.empty()) {
        return false;
    }
    for (const auto& [baseUrl, release] : answers) {
        if (release < newest.release) {
            newest.refusedMirrors.push_back(baseUrl);
        }
    }
    list = std::move(newest);
    return true;
}

std::vector<const wchar_t*> MirrorsFor(const ChecksumList* list)
{
    std::vector<const wchar_t*> mirrors;
    for (const wchar_t* baseUrl : VORLANCE_HOSTS) {
        if (list == nullptr || std::find(list->refusedMirrors.begin(), list->refusedMirrors.end(), baseUrl) ==
                                   list->refusedMirrors.end()) {
            mirrors.push_back(baseUrl);
        }
    }
    return mirrors;
}

bool HoldsListedFiles(const std::vector<FileDigest>& installed, const ChecksumList& list)
{
    if (installed.size() != list.libraryFiles.size()) {
        return false;
    }
    std::vector<const FileDigest*> onDisk;
    for (const FileDigest& file : installed) {
        onDisk.push_back(&file);
    }
    std::vector<const LibraryFileChecksum*> listed;
    for (const LibraryFileChecksum& file : list.libraryFiles) {
        listed.push_back(&file);
    }
    std::sort(onDisk.begin(), onDisk.end(),
              [](const FileDigest* a, const FileDigest* b) { return PathLess(a->path, b->path); });
    std::sort(listed.begin(), listed.end(), [](const LibraryFileChecksum* a, const LibraryFileChecksum* b) {
        return PathLess(a->relativePath, b->relativePath);
    });
    for (size_t i = 0; i < onDisk.size(); ++i) {
        if (ComparePaths(onDisk[i]->path, listed[i]->relativePath) != CSTR_EQUAL ||
            onDisk[i]->digest != listed[i]->digest) {
            return false;
        }
    }
    return true;
}

bool HashInstalledLibraries(const std::wstring& libraryDirectory, std::vector<FileDigest>& installed)
{
    installed.clear();
    std::vector<std::wstring> onDisk;
    // lib itself may be a link the player made (a junction to another drive): its files are read through it, so that
    // an unchanged release costs only the list there too. Links below it are never followed.
    const DWORD attributes = GetFileAttributesW(MakeLongPath(libraryDirectory).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        !CollectLibraryFiles(libraryDirectory, onDisk)) {
        return false;
    }
    std::vector<FileDigest> files;
    files.reserve(onDisk.size());
    for (const std::wstring& path : onDisk) {
        files.push_back({WithTrailingBackslash(libraryDirectory) + path, Sha256Digest{}});
    }
    // During a run, a file that an earlier launch hashed and whose facts are unchanged since is taken as hashed
    // (except at a full check): an unchanged release then reads no library's bytes.
    std::vector<char> hashed;
    HashFilesUnlessVerified(files, hashed);
    // A file that could not be read keeps an all-zero digest, which no list line has: it is fetched anew.
    for (size_t i = 0; i < files.size(); ++i) {
        installed.push_back({onDisk[i], hashed[i] ? files[i].digest : Sha256Digest{}});
    }
    return true;
}
