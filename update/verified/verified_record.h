#pragma once

#include "update/checksum_list.h"

#include "fs/fs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The record of verified files, "vorlance_verified.txt" beside the release record: each file whose bytes a run
// hashed and found as the list gives them, with the facts (size, times, ID) it had then. Later launches take a file
// whose facts are unchanged as hashed; a full check now and then hashes everything again, since damage that leaves
// the facts alone (a failing disk) shows only in the bytes.

// One file the record vouches for.
struct VerifiedFile {
    std::wstring path; // relative to the program directory: "vorlance.exe", "lib\..."
    FileFacts facts;
    Sha256Digest digest;
};

struct VerifiedRecord {
    uint64_t launchesSinceFullCheck = 0; // launches that wrote the record since the last full check
    int64_t fullCheckTime = 0;           // when the last full check ran, FILETIME units, UTC
    uint64_t hashedBytes = 0;            // the bytes of the files the launch that wrote it sent to hashing
    std::vector<VerifiedFile> files;
};

// A full check comes on the 20th launch after the last one, or the first launch a week after it by the record's
// time, whichever comes first: the count bounds it whatever the clock does.
const uint64_t FULL_CHECK_EVERY_LAUNCHES = 20;
const int64_t FULL_CHECK_AFTER_SECONDS = 7 * 24 * 60 * 60;

// Reads the record beside the game; false when it is missing, cannot be read or is not whole, which the caller takes
// as no record. Throws std::bad_alloc.
bool ReadVerifiedRecord(const std::wstring& programDirectory, VerifiedRecord& record);

// Writes the record under a temporary name, flushed, then renamed over the old one, so that a kill leaves the old
// record or the new one. Best effort: false when it could not be written, and the old record stays. Throws
// std::bad_alloc.
bool WriteVerifiedRecord(const std::wstring& programDirectory, const VerifiedRecord& record);

// True when the launch at now (FILETIME units, UTC) is a full check: the 20th since the last, a week after it, or a
// clock earlier than the record's time.
bool IsFullCheckDue(const VerifiedRecord& record, int64_t now);

// What one run with a list knows: the record as read, whether this launch is a full check, and the files it hashed or
// took as hashed, with their facts. Its checks consult it while it is held (on the thread that started it).
struct VerifiedRun {
    std::wstring programDirectory;
    int64_t startTime = 0;
    bool fullCheck = true;
    VerifiedRecord previous; // files sorted by path
    std::vector<VerifiedFile> seen;
    uint64_t hashedBytes = 0;
};
struct VerifiedRunEnder {
    void operator()(VerifiedRun* run) const;
};
using VerifiedRunHolder = std::unique_ptr<VerifiedRun, VerifiedRunEnder>;

// Reads the record and starts the run's bookkeeping on this thread, until the holder goes. Throws std::bad_alloc.
VerifiedRunHolder StartVerifiedRun(const std::wstring& programDirectory);

// HashFiles, except that during a run a file below its program directory whose facts match its record entry takes
// the recorded digest unread. Throws std::bad_alloc.
void HashFilesUnlessVerified(std::vector<FileDigest>& files, std::vector<char>& hashed);

// The same for one file: false when it cannot be opened or read. Throws std::bad_alloc.
bool HashFileUnlessVerified(const std::wstring& path, Sha256Digest& digest);

// After a run whose checks passed: records the files it hashed or took as hashed that hold what the list gives them
// ("vorlance.exe" and "lib\..."), and counts the launch. Best effort. Throws std::bad_alloc.
void RecordVerifiedFiles(const VerifiedRun& run, const ChecksumList& list);
