#include "archive/archive.h"

#include "archive/zip_write.h"
#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <algorithm>
#include <memory>
#include <set>
#include <vector>

namespace {

const size_t READ_PIECE_BYTES = 0x100000; // 1 MiB
// Deflated entries handed to the pool and not yet finished, per pool thread: one running, one waiting, so that no
// thread idles while the extracting thread makes folders or writes a stored entry.
const size_t IN_FLIGHT_PER_THREAD = 2;
const size_t NO_FAILURE = SIZE_MAX;

// What became of one entry. Written by the thread that unpacked it, read by the extracting thread only after the pool
// has reported it finished.
struct EntryOutcome {
    bool handedOut = false; // the extracting thread's own: the entry has begun
    bool finished = false;
    bool failed = false;
    std::string message;
};

// A pool thread's own reader (errors are kept per reader) over the extracting thread's parsed directory; its buffer.
struct PoolReader {
    mz_zip_archive zip;
    OpenZip opened;
    std::unique_ptr<char[]> buffer;
};

// One extraction: entries are handed out in order, and deflated ones also ahead of their turn while a stored one is
// written; folders, stored entries and entries that must not overlap any other are done on the extracting thread,
// deflated ones on the pool. Whatever order they finish in, progress is posted and the first failure chosen in entry
// order, and what entries after a failure made is taken back, so that nothing visible differs from unpacking one by
// one.
struct Extraction {
    mz_zip_archive* zip;
    std::wstring root;
    HWND window;
    std::vector<PackageEntry> entries;
    std::vector<EntryOutcome> outcomes;
    std::set<std::wstring> createdFolders;
    std::vector<std::wstring> madeFolders; // every folder this extraction made, in the order it made them
    std::unique_ptr<char[]> buffer;
    std::vector<PoolReader> readers;
    TaskPoolHolder pool;
    size_t inFlight = 0;
    size_t lookedAhead = 0;           // entries before this one were considered for the pool ahead of their turn
    size_t retired = 0;               // entries before this one finished without failure and had their progress posted
    size_t firstFailure = NO_FAILURE; // the lowest-numbered entry known to have failed
};

bool Fail(std::string& message, const std::string& text)
{
    message = text;
    return false;
}

std::string ErrorSuffix(DWORD code)
{
    return " (error " + std::to_string(code) + ")";
}

// Reads the whole archive file; the zip library works on this image and never on the file.
bool ReadArchiveImage(const std::wstring& path, ZipImage& image, std::string& message)
{
    const std::wstring longPath = MakeLongPath(path);
    const HANDLE opened = CreateFileW(longPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(GetLastError()));
    }
    KernelHandle file(opened);

    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
        static_cast<uint64_t>(size.QuadPart) > PACKAGE_MAX_BYTES) {
        return Fail(message, PACKAGE_SIZE_REFUSAL);
    }
    // Cleared although the reads fill every byte: under Wine, reading into memory never touched before measured
    // slower than clearing it first (bench/RESULTS.md).
    AllocateImage(image, static_cast<size_t>(size.QuadPart));

    size_t offset = 0;
    while (offset < image.size) {
        const DWORD piece = static_cast<DWORD>(std::min(image.size - offset, READ_PIECE_BYTES));
        DWORD pieceRead = 0;
        if (!ReadFile(file.get(), image.bytes.get() + offset, piece, &pieceRead, nullptr) || pieceRead == 0) {
            // Taken before anything else can overwrite the code, closing the file included.
            return Fail(message, "failed reading zip file" + ErrorSuffix(GetLastError()));
        }
        offset += pieceRead;
    }
    return true;
}

// A file entry that could meet another entry's file: a clash is an overwrite, and a name outside ASCII or with a '~'
// could reach another file through case rules or short names that the package rules do not model.
bool MayMeetAnotherFile(const PackageEntry& entry)
{
    return !entry.folder &&
           (entry.clash != PackageEntry::NO_ENTRY ||
            !std::all_of(entry.path.begin(), entry.path.end(), [](wchar_t c) { return c < 0x80 && c != L'~'; }));
}

// Only deflated data is worth a pool thread; stored data is written from where it lies in the image.
bool RunsOnPool(mz_zip_archive* zip, mz_uint index, const PackageEntry& entry)
{
    mz_zip_archive_file_stat stat;
    return !entry.folder && !entry.refusedData && !MayMeetAnotherFile(entry) &&
           mz_zip_reader_file_stat(zip, index, &stat) && stat.m_method == MZ_DEFLATED && stat.m_comp_size != 0;
}

// Posts progress for the entries that have finished in order since the last call, stopping at a failed one; directory
// entries count too, so the bar reaches 100 only when the last entry is a file.
void RetireFinished(Extraction& extraction)
{
    const size_t count = extraction.entries.size();
    while (extraction.retired < count && extraction.outcomes[extraction.retired].finished &&
           !extraction.outcomes[extraction.retired].failed) {
        if (!extraction.entries[extraction.retired].folder) {
            PostProgress(extraction.window, static_cast<int>((extraction.retired + 1) * 100.0 / count));
        }
        ++extraction.retired;
    }
}

void Finish(Extraction& extraction, size_t index)
{
    extraction.outcomes[index].finished = true;
    if (extraction.outcomes[index].failed) {
        extraction.firstFailure = std::min(extraction.firstFailure, index);
    }
}

// Collects what the pool has finished, waiting for one entry when wait is set.
void CollectFinished(Extraction& extraction, bool wait)
{
    std::vector<size_t> finished;
    TakeFinishedTasks(*extraction.pool, finished, wait);
    for (size_t index : finished) {
        Finish(extraction, index);
        --extraction.inFlight;
    }
    RetireFinished(extraction);
}

void WaitForPool(Extraction& extraction, size_t mostInFlight)
{
    while (extraction.inFlight > mostInFlight) {
        CollectFinished(extraction, true);
    }
}

void UnpackOnPool(Extraction& extraction, size_t worker, size_t index)
{
    PoolReader& reader = extraction.readers[worker];
    EntryOutcome& outcome = extraction.outcomes[index];
    outcome.failed = !WriteZipEntry(&reader.zip, static_cast<mz_uint>(index), extraction.root,
                                    extraction.entries[index].path, reader.buffer.get(), outcome.message);
}

// Starts the pool with a reader per thread; without one every entry is unpacked on the extracting thread.
void StartPool(Extraction& extraction)
{
    // No task runs before one is submitted, so the readers are made once it is known how many threads started.
    extraction.pool = StartTaskPool(
        PoolThreadCount(), [&extraction](size_t worker, size_t index) { UnpackOnPool(extraction, worker, index); });
    if (!extraction.pool) {
        return;
    }
    extraction.readers.resize(TaskPoolSize(*extraction.pool));
    for (PoolReader& reader : extraction.readers) {
        // Sharing the directory the extracting thread parsed can fail for want of memory alone.
        if (!ZipReaderShareDirectory(&reader.zip, extraction.zip)) {
            throw std::bad_alloc();
        }
        reader.opened.reset(&reader.zip);
        reader.buffer.reset(new char[ZIP_WRITE_BUFFER_BYTES]);
    }
}

// Takes back what entries after the failed one did, which unpacking one by one would never have begun: their files,
// then, latest first, the folders that no entry up to the failed one needs.
void UndoAfter(const Extraction& extraction, size_t failed)
{
    std::set<std::wstring> needed;
    for (size_t i = 0; i <= failed; ++i) {
        const PackageEntry& entry = extraction.entries[i];
        if (!entry.refusal.empty() && !entry.refusedData) {
            continue;
        }
        for (size_t at = entry.diskPath.find(L'\\'); at != std::wstring::npos;
             at = entry.diskPath.find(L'\\', at + 1)) {
            needed.insert(extraction.root + entry.diskPath.substr(0, at));
        }
        if (entry.folder && !entry.skipped) {
            needed.insert(extraction.root + entry.diskPath);
        }
    }
    for (size_t i = extraction.entries.size(); i-- > failed + 1;) {
        const EntryOutcome& outcome = extraction.outcomes[i];
        if (!extraction.entries[i].folder && outcome.finished && !outcome.failed) {
            DeleteFileW(MakeLongPath(extraction.root + extraction.entries[i].path).c_str());
        }
    }
    for (auto folder = extraction.madeFolders.rbegin(); folder != extraction.madeFolders.rend(); ++folder) {
        if (needed.count(*folder) == 0) {
            RemoveDirectoryW(MakeLongPath(*folder).c_str());
        }
    }
}

bool PoolIsFull(const Extraction& extraction)
{
    return extraction.inFlight >= IN_FLIGHT_PER_THREAD * TaskPoolSize(*extraction.pool);
}

// Folders get the spelling of the first entry that names them (diskPath), also when a later entry starts first.
void Submit(Extraction& extraction, size_t i)
{
    ZipCreateParentDirs(extraction.root, extraction.entries[i].diskPath, extraction.createdFolders,
                        &extraction.madeFolders);
    SubmitTask(*extraction.pool, i);
    ++extraction.inFlight;
}

// Hands deflated entries after entry i to the pool ahead of their turn while it has room, so that it inflates while
// this thread writes a stored entry. It stops before an entry that is refused or may meet another's file: no entry
// after such a one starts before it.
void LookAhead(Extraction& extraction, size_t i)
{
    extraction.lookedAhead = std::max(extraction.lookedAhead, i + 1);
    // No entry after a known failure is begun.
    while (extraction.lookedAhead < std::min(extraction.entries.size(), extraction.firstFailure) &&
           !PoolIsFull(extraction)) {
        const size_t j = extraction.lookedAhead;
        const PackageEntry& entry = extraction.entries[j];
        // A known failure: nothing after it need begin, and its folders keep its own spelling.
        if (!entry.refusal.empty() || MayMeetAnotherFile(entry)) {
            return;
        }
        if (RunsOnPool(extraction.zip, static_cast<mz_uint>(j), entry)) {
            extraction.outcomes[j].handedOut = true;
            Submit(extraction, j);
        }
        ++extraction.lookedAhead;
    }
}

// Hands out entry i: refused at once, made here, or queued for the pool.
void HandOut(Extraction& extraction, size_t i)
{
    const PackageEntry& entry = extraction.entries[i];
    EntryOutcome& outcome = extraction.outcomes[i];
    if (outcome.handedOut) {
        return;
    }
    outcome.handedOut = true;
    if (!entry.refusal.empty() && !entry.refusedData) {
        outcome.failed = true;
        outcome.message = entry.refusal;
        Finish(extraction, i);
        return;
    }
    if (entry.folder) {
        // A folder Windows cannot create is no failure: a file that needs it fails by its own name.
        if (!entry.skipped) {
            // With a separator at its end the folder itself is made too, as the last of its parents.
            ZipCreateParentDirs(extraction.root, entry.diskPath + L"\\", extraction.createdFolders,
                                &extraction.madeFolders);
        }
        Finish(extraction, i);
        return;
    }
    const mz_uint index = static_cast<mz_uint>(i);
    if (extraction.pool && RunsOnPool(extraction.zip, index, entry)) {
        while (PoolIsFull(extraction)) {
            CollectFinished(extraction, true);
        }
        Submit(extraction, i);
        return;
    }
    ZipCreateParentDirs(extraction.root, entry.diskPath, extraction.createdFolders, &extraction.madeFolders);
    if (extraction.pool && !MayMeetAnotherFile(entry)) {
        LookAhead(extraction, i);
    }
    outcome.failed =
        !WriteZipEntry(extraction.zip, index, extraction.root, entry.path, extraction.buffer.get(), outcome.message);
    Finish(extraction, i);
}

bool ExtractEntries(Extraction& extraction, std::string& message)
{
    const size_t count = extraction.entries.size();
    extraction.outcomes.resize(count);
    // Every entry before a failed one is unpacked, as one by one, so that the lowest-numbered failure is the one
    // reported; none after it is begun.
    for (size_t i = 0; i < count && i <= extraction.firstFailure; ++i) {
        // An entry that may meet another's file starts only when all before it are done, and ends before any after it
        // starts: it runs here, and nothing is handed out meanwhile.
        if (extraction.pool && MayMeetAnotherFile(extraction.entries[i])) {
            WaitForPool(extraction, 0);
            if (extraction.firstFailure < i) {
                break;
            }
        }
        HandOut(extraction, i);
        if (extraction.pool) {
            CollectFinished(extraction, false);
        } else {
            RetireFinished(extraction);
        }
    }
    if (extraction.pool) {
        WaitForPool(extraction, 0);
    }
    if (extraction.firstFailure == NO_FAILURE) {
        return true;
    }
    UndoAfter(extraction, extraction.firstFailure);
    return Fail(message, extraction.outcomes[extraction.firstFailure].message);
}

} // namespace

bool ReadZipImage(const std::wstring& archivePath, ZipImage& image, std::string& message)
{
    std::wstring archive;
    DWORD error = 0;
    if (!AbsolutePathOf(archivePath, archive, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    return ReadArchiveImage(archive, image, message);
}

bool CheckZipImage(const ZipImage& image, std::string& message)
{
    if (image.size == 0 || image.size > PACKAGE_MAX_BYTES) {
        return Fail(message, PACKAGE_SIZE_REFUSAL);
    }
    mz_zip_archive zip;
    if (!OpenZipImage(image.bytes.get(), image.size, zip, message)) {
        return false;
    }
    OpenZip opened(&zip);
    for (const PackageEntry& entry : ScanPackage(&zip)) {
        if (!entry.refusal.empty()) {
            return Fail(message, entry.refusal);
        }
    }
    return true;
}

// Memory beyond the image (P bytes), whatever the pool's size: one parsed directory (D bytes, 4 more per entry) that
// every reader shares; first the scan, under 33 D (archive.h); then per entry a PackageEntry and an EntryOutcome, 248
// bytes and 10 per name byte (under 10 D: an entry takes 46 bytes and its name of directory), per thread a 1 MiB
// buffer and, inflating, under 80 KiB, two strings per folder made on disk. Short of folders: P + 34 D + 10 MiB.
bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message)
{
    std::wstring target;
    DWORD error = 0;
    if (!AbsolutePathOf(targetDirectory, target, error)) {
        return Fail(message, "cannot open zip file" + ErrorSuffix(error));
    }
    mz_zip_archive zip;
    if (!OpenZipImage(image.bytes.get(), image.size, zip, message)) {
        return false;
    }
    OpenZip opened(&zip);
    // Declared after the reader whose directory its pool readers share, so that they end before it does.
    Extraction extraction;
    extraction.zip = &zip;
    extraction.root = WithTrailingBackslash(target);
    extraction.window = window;
    // Every entry is judged by the rules the check applies. A name or path the updater refuses is refused before
    // anything is created for it; what the library refuses about the data it refuses while unpacking, with the same
    // text.
    extraction.entries = ScanPackage(&zip);
    extraction.buffer.reset(new char[ZIP_WRITE_BUFFER_BYTES]);
    StartPool(extraction);
    return ExtractEntries(extraction, message);
}

bool ExtractZip(const std::wstring& archivePath, const std::wstring& targetDirectory, HWND window, std::string& message)
{
    ZipImage image;
    return ReadZipImage(archivePath, image, message) && ExtractZipImage(image, targetDirectory, window, message);
}
