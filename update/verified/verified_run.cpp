#include "update/verified/verified_record.h"

#include "fs/fs.h"

#include <windows.h>

#include <algorithm>

namespace {

// The run whose checks consult the record. The phases' own signatures are shared with the run, the tests and the
// other callers, so the run is found here, on the thread that started it, and nowhere else.
thread_local VerifiedRun* t_run = nullptr;

// A file changed at the moment its facts were read could be changed again within the same tick of the file system's
// clock (2 s on FAT) without new facts: it is vouched for only once its times lie this far behind the run's start.
const int64_t SETTLED_FILETIME_UNITS = 3 * 10000000LL;

const wchar_t GAME_NAME[] = L"vorlance.exe";
const wchar_t LIBRARY_PREFIX[] = L"lib\\";

int ComparePaths(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

bool PathLess(const std::wstring& a, const std::wstring& b)
{
    return ComparePaths(a, b) == CSTR_LESS_THAN;
}

// The path below the program directory, as the record names it; empty for a path outside it.
std::wstring RelativePath(const std::wstring& programDirectory, const std::wstring& path)
{
    const int length = static_cast<int>(programDirectory.size());
    if (path.size() <= programDirectory.size() ||
        CompareStringOrdinal(path.c_str(), length, programDirectory.c_str(), length, TRUE) != CSTR_EQUAL) {
        return std::wstring();
    }
    return path.substr(programDirectory.size());
}

const VerifiedFile* FindByPath(const std::vector<VerifiedFile>& sorted, const std::wstring& path)
{
    const auto found = std::lower_bound(sorted.begin(), sorted.end(), path,
                                        [](const VerifiedFile& file, const auto& p) { return PathLess(file.path, p); });
    return found != sorted.end() && ComparePaths(found->path, path) == CSTR_EQUAL ? &*found : nullptr;
}

int64_t Now()
{
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

// A file system that keeps no change time (it reads 0) cannot show a write that set the last-write time back.
bool CanVouchFor(const FileFacts& facts, int64_t runStart)
{
    return facts.changeTime != 0 && facts.changeTime < runStart - SETTLED_FILETIME_UNITS &&
           facts.lastWriteTime < runStart - SETTLED_FILETIME_UNITS;
}

// The digest the list gives a recorded path; null when it lists no such file.
const Sha256Digest* ListedDigest(const ChecksumList& list, const std::vector<const LibraryFileChecksum*>& sorted,
                                 const std::wstring& path)
{
    if (ComparePaths(path, GAME_NAME) == CSTR_EQUAL) {
        return &list.gameExecutable;
    }
    const size_t prefix = std::size(LIBRARY_PREFIX) - 1;
    if (path.size() <= prefix || ComparePaths(path.substr(0, prefix), LIBRARY_PREFIX) != CSTR_EQUAL) {
        return nullptr;
    }
    const std::wstring below = path.substr(prefix);
    const auto found = std::lower_bound(sorted.begin(), sorted.end(), below, [](const auto* file, const auto& p) {
        return PathLess(file->relativePath, p);
    });
    return found != sorted.end() && ComparePaths((*found)->relativePath, below) == CSTR_EQUAL ? &(*found)->digest
                                                                                              : nullptr;
}

} // namespace

void VerifiedRunEnder::operator()(VerifiedRun* run) const
{
    if (t_run == run) {
        t_run = nullptr;
    }
    delete run;
}

VerifiedRunHolder StartVerifiedRun(const std::wstring& programDirectory)
{
    VerifiedRunHolder run(new VerifiedRun);
    run->programDirectory = programDirectory;
    run->startTime = Now();
    // No record, or one that is not whole, is a first launch: everything is hashed, as a full check does.
    run->fullCheck =
        !ReadVerifiedRecord(programDirectory, run->previous) || IsFullCheckDue(run->previous, run->startTime);
    std::sort(run->previous.files.begin(), run->previous.files.end(),
              [](const VerifiedFile& a, const VerifiedFile& b) { return PathLess(a.path, b.path); });
    t_run = run.get();
    return run;
}

void HashFilesUnlessVerified(std::vector<FileDigest>& files, std::vector<char>& hashed)
{
    VerifiedRun* run = t_run;
    if (run == nullptr) {
        HashFiles(files, hashed);
        return;
    }
    hashed.assign(files.size(), 0);
    // What the metadata says before the bytes are read: a file that changes while it is hashed shows other facts
    // afterwards and is not vouched for.
    std::vector<std::wstring> paths;
    for (const FileDigest& file : files) {
        paths.push_back(file.path);
    }
    std::vector<FileFacts> facts;
    std::vector<char> known;
    ReadFilesFacts(paths, facts, known);
    std::vector<FileDigest> unread;
    std::vector<VerifiedFile> before;
    std::vector<size_t> positions;
    for (size_t i = 0; i < files.size(); ++i) {
        VerifiedFile file;
        file.path = known[i] ? RelativePath(run->programDirectory, files[i].path) : std::wstring();
        file.facts = facts[i];
        const VerifiedFile* entry =
            !file.path.empty() && !run->fullCheck ? FindByPath(run->previous.files, file.path) : nullptr;
        if (entry != nullptr && SameFileFacts(entry->facts, file.facts)) {
            files[i].digest = entry->digest;
            hashed[i] = 1;
            run->seen.push_back(*entry);
            continue;
        }
        run->hashedBytes += file.facts.size;
        unread.push_back(files[i]);
        before.push_back(file);
        positions.push_back(i);
    }
    std::vector<char> read;
    HashFiles(unread, read);
    paths.clear();
    for (const FileDigest& file : unread) {
        paths.push_back(file.path);
    }
    ReadFilesFacts(paths, facts, known);
    for (size_t j = 0; j < unread.size(); ++j) {
        if (!read[j]) {
            continue;
        }
        const size_t i = positions[j];
        files[i].digest = unread[j].digest;
        hashed[i] = 1;
        if (!before[j].path.empty() && known[j] && SameFileFacts(before[j].facts, facts[j]) &&
            CanVouchFor(facts[j], run->startTime)) {
            before[j].digest = unread[j].digest;
            run->seen.push_back(std::move(before[j]));
        }
    }
}

bool HashFileUnlessVerified(const std::wstring& path, Sha256Digest& digest)
{
    std::vector<FileDigest> file = {{path, Sha256Digest{}}};
    std::vector<char> hashed;
    HashFilesUnlessVerified(file, hashed);
    if (!hashed[0]) {
        return false;
    }
    digest = file[0].digest;
    return true;
}

void RecordVerifiedFiles(const VerifiedRun& run, const ChecksumList& list)
{
    std::vector<const LibraryFileChecksum*> listed;
    for (const LibraryFileChecksum& file : list.libraryFiles) {
        listed.push_back(&file);
    }
    std::sort(listed.begin(), listed.end(), [](const LibraryFileChecksum* a, const LibraryFileChecksum* b) {
        return PathLess(a->relativePath, b->relativePath);
    });
    VerifiedRecord record;
    record.launchesSinceFullCheck = run.fullCheck ? 0 : run.previous.launchesSinceFullCheck + 1;
    record.fullCheckTime = run.fullCheck ? run.startTime : run.previous.fullCheckTime;
    record.hashedBytes = run.hashedBytes;
    for (const VerifiedFile& file : run.seen) {
        // A file the list gives other bytes is fetched again: its new copy is hashed at the next launch.
        const Sha256Digest* digest = ListedDigest(list, listed, file.path);
        if (digest != nullptr && *digest == file.digest) {
            record.files.push_back(file);
        }
    }
    std::stable_sort(record.files.begin(), record.files.end(),
                     [](const VerifiedFile& a, const VerifiedFile& b) { return PathLess(a.path, b.path); });
    record.files.erase(std::unique(record.files.begin(), record.files.end(),
                                   [](const VerifiedFile& a, const VerifiedFile& b) {
                                       return ComparePaths(a.path, b.path) == CSTR_EQUAL;
                                   }),
                       record.files.end());
    WriteVerifiedRecord(run.programDirectory, record);
}
