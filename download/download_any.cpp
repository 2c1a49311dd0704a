#include "download/download.h"

#include "download/download_internal.h"

#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace {

// Blocks are gathered into slots of this many, so that the writing thread wakes once per slot rather than once per
// block; a few slots bound what is read ahead of the file.
const size_t BLOCKS_PER_SLOT = 16;
const size_t SLOT_COUNT = 4;

// Blocks read from the network one after another, written with one WriteFile.
struct BodySlot {
    std::unique_ptr<unsigned char[]> bytes; // BLOCKS_PER_SLOT blocks of READ_BUFFER_BYTES
    DWORD blockLengths[BLOCKS_PER_SLOT] = {};
    size_t blockCount = 0;
    DWORD length = 0;
};

// The body on its way from the network to the file: the reading thread queues filled slots, a writing thread writes
// them in order and posts the progress of what is written.
struct BodyQueue {
    HANDLE file = INVALID_HANDLE_VALUE;
    TransferProgress* progress = nullptr;
    BodySlot slots[SLOT_COUNT];

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    size_t first = 0;
    size_t count = 0;    // the slot being written stays counted until it is done
    bool ended = false;  // nothing more will be queued
    bool failed = false; // a write failed: nothing more is written or read

    // The writer's own until it has ended.
    uint64_t byteCount = 0;
    const Sha256Stream* hash = nullptr; // hashes what is written, so that a listed file is not read back
};

// Writes the oldest queued slot, then posts the percentage of the body written after each of its blocks, as if each
// block had been written alone. False when the write failed.
bool WriteOldestSlot(BodyQueue& queue)
{
    const BodySlot& slot = queue.slots[queue.first];
    DWORD bytesWritten = 0;
    if (!WriteFile(queue.file, slot.bytes.get(), slot.length, &bytesWritten, nullptr) || bytesWritten < slot.length) {
        return false;
    }
    if (queue.hash != nullptr && !AddSha256(*queue.hash, slot.bytes.get(), slot.length)) {
        return false;
    }
    for (size_t i = 0; i < slot.blockCount; ++i) {
        queue.byteCount += slot.blockLengths[i];
        AddProgress(*queue.progress, slot.blockLengths[i]);
    }
    return true;
}

// Takes the oldest slot off the queue after its write, under the lock.
void RetireOldestSlot(BodyQueue& queue, bool written)
{
    queue.failed = queue.failed || !written;
    queue.first = (queue.first + 1) % SLOT_COUNT;
    --queue.count;
    WakeAllConditionVariable(&queue.changed);
}

DWORD WINAPI WriteBodySlots(void* parameter)
{
    BodyQueue& queue = *static_cast<BodyQueue*>(parameter);
    AcquireSRWLockExclusive(&queue.lock);
    while (!queue.failed) {
        while (queue.count == 0 && !queue.ended) {
            SleepConditionVariableSRW(&queue.changed, &queue.lock, INFINITE, 0);
        }
        if (queue.count == 0) {
            break;
        }
        ReleaseSRWLockExclusive(&queue.lock);
        const bool written = WriteOldestSlot(queue);
        AcquireSRWLockExclusive(&queue.lock);
        RetireOldestSlot(queue, written);
    }
    ReleaseSRWLockExclusive(&queue.lock);
    return 0;
}

// Fills a slot with blocks read from the network; bodyEnded is set at the end of the body. False when a read failed
// or the body fell below the low-speed limit; the slot keeps what came before.
bool FillSlot(Connection& connection, BodySlot& slot, bool& bodyEnded)
{
    slot.blockCount = 0;
    slot.length = 0;
    while (slot.blockCount < BLOCKS_PER_SLOT && !bodyEnded) {
        DWORD bytesRead = 0;
        const bool read =
            ReadBlock(connection, slot.bytes.get() + slot.length, READ_BUFFER_BYTES, bytesRead, bodyEnded);
        if (bytesRead > 0) {
            slot.blockLengths[slot.blockCount++] = bytesRead;
            slot.length += bytesRead;
        }
        if (!read) {
            return false;
        }
    }
    return true;
}

// Copies one response's body onto the open file, reading the next blocks while earlier ones are written, and posting
// progress as the written part grows; more than room bytes is too large. Throws std::bad_alloc before any byte.
BodyRead TransferBody(Connection& connection, HANDLE file, uint64_t room, TransferProgress& progress,
                      const Sha256Stream* hash)
{
    BodyQueue queue;
    queue.file = file;
    queue.progress = &progress;
    queue.hash = hash;
    for (BodySlot& slot : queue.slots) {
        slot.bytes.reset(new unsigned char[BLOCKS_PER_SLOT * READ_BUFFER_BYTES]);
    }
    // Without a thread of its own the writing is done here, slot by slot, after each one is filled.
    KernelHandle writer(CreateThread(nullptr, 0, WriteBodySlots, &queue, 0, nullptr));

    BodyRead read;
    bool readFailed = false;
    uint64_t queued = 0;
    while (!read.ended && !readFailed) {
        AcquireSRWLockExclusive(&queue.lock);
        while (queue.count == SLOT_COUNT && !queue.failed) {
            SleepConditionVariableSRW(&queue.changed, &queue.lock, INFINITE, 0);
        }
        const bool writeFailed = queue.failed;
        BodySlot& slot = queue.slots[(queue.first + queue.count) % SLOT_COUNT];
        ReleaseSRWLockExclusive(&queue.lock);
        if (writeFailed) {
            break;
        }
        // This slot is neither queued nor being written, so it is this thread's until it is queued. What was read
        // before a failed read is still written, as it was received: a continuation starts after it.
        readFailed = !FillSlot(connection, slot, read.ended);
        queued += slot.length;
        if (queued > room) {
            read.tooLarge = true;
            read.ended = false;
            break;
        }
        if (slot.blockCount == 0) {
            break;
        }
        AcquireSRWLockExclusive(&queue.lock);
        ++queue.count;
        WakeAllConditionVariable(&queue.changed);
        ReleaseSRWLockExclusive(&queue.lock);
        if (!writer) {
            const bool written = WriteOldestSlot(queue);
            AcquireSRWLockExclusive(&queue.lock);
            RetireOldestSlot(queue, written);
            ReleaseSRWLockExclusive(&queue.lock);
        }
    }
    AcquireSRWLockExclusive(&queue.lock);
    queue.ended = true;
    WakeAllConditionVariable(&queue.changed);
    ReleaseSRWLockExclusive(&queue.lock);
    // Every queued slot is written (or the writer has failed) before the file is continued, closed or deleted.
    if (writer) {
        WaitForSingleObject(writer.get(), INFINITE);
    }
    read.bytes = queue.byteCount;
    read.failed = queue.failed;
    read.ended = read.ended && !readFailed && !queue.failed;
    return read;
}

// Empties the file for a whole new body.
bool RewindFile(HANDLE file)
{
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Creates the destination for writing; a scanner that reads the file meanwhile is let in. A read-only file an earlier
// run left under this name is the file's doing, not the folder's: its attributes are cleared and the create tried
// once more.
HANDLE CreateDestination(const std::wstring& destinationPath, const std::wstring& longDestination, DWORD& error)
{
    const auto create = [&]() {
        const HANDLE file = CreateFileW(longDestination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        return file;
    };
    const HANDLE file = create();
    if (error != ERROR_ACCESS_DENIED || GetFileAttributesW(longDestination.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return file;
    }
    ClearBlockingAttributes(destinationPath);
    return create();
}

// One attempt against one mirror: the whole file, continued where it was cut, with the listed digest when one is
// given. The destination is left as it was when the attempt fails before the body; when Windows refuses to create it,
// failure.refusedError receives the code, and it is cleared when the file is created; a body too large or of other
// bytes than listed is added to failure. A failed attempt deletes what it wrote. longDestination is the destination's
// long form, made once by the caller so that deleting a partial file cannot fail for want of memory.
bool AttemptDownload(const std::wstring& url, const std::wstring& destinationPath, const std::wstring& longDestination,
                     HWND window, const Sha256Digest* expectedDigest, uint64_t maxBytes, DWORD stallMs,
                     DownloadFailure& failure)
{
    Connection connection;
    ResponseFacts facts;
    // Only a whole file counts: 206 would be a piece of it, 304 nothing at all.
    if (!OpenRequest(url, std::wstring(), stallMs, connection, facts) || facts.status != HTTP_STATUS_OK) {
        return false;
    }
    if (facts.hasLength && facts.length > maxBytes) {
        failure.tooLarge = true;
        return false;
    }
    Sha256Stream hash;
    if (!StartListedHash(expectedDigest, hash)) {
        return false;
    }
    DWORD error = 0;
    const HANDLE opened = CreateDestination(destinationPath, longDestination, error);
    // A refusal stands until an attempt creates the file: then the folder evidently takes new files.
    failure.refusedError = opened == INVALID_HANDLE_VALUE ? error : ERROR_SUCCESS;
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(opened);

    TransferProgress progress;
    progress.window = window;
    uint64_t written = 0;
    bool succeeded = false;
    // From here on the destination has been created anew: whatever fails, memory included, deletes it.
    try {
        BodySink sink;
        sink.read = [&](Connection& current, uint64_t limit) {
            const BodyRead read = TransferBody(current, file.get(), limit - written, progress, hash ? &hash : nullptr);
            written += read.bytes;
            return read;
        };
        sink.restart = [&]() {
            written = 0;
            return RewindFile(file.get()) && StartListedHash(expectedDigest, hash);
        };
        RemoteFile remote;
        remote.url = url;
        bool tooLarge = false;
        succeeded = ReadWholeFile(remote, connection, facts, maxBytes, progress, stallMs, sink, tooLarge);
        failure.tooLarge = failure.tooLarge || tooLarge;
        if (succeeded && !HasListedDigest(expectedDigest, hash)) {
            failure.otherBytes = true;
            succeeded = false;
        }
    } catch (const std::bad_alloc&) {
        succeeded = false;
    }
    // A partial file must be closed before it can be deleted.
    file.reset();
    if (!succeeded) {
        DeleteFileW(longDestination.c_str());
    }
    return succeeded;
}

} // namespace

bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, const Sha256Digest* expectedDigest,
                         const FileCheck& isUsable, DownloadFailure& failure, uint64_t maxBytes, DWORD stallMs)
{
    failure = DownloadFailure();
    // Made once, so that deleting a file of the wrong bytes cannot fail for want of memory.
    const std::wstring longDestination = MakeLongPath(destinationPath);
    for (size_t i = 0; i < baseUrlCount; ++i) {
        // Memory that ran out at one mirror may suffice at the next. An attempt deletes what it wrote; one that ran
        // out before it created the destination leaves that as it was.
        bool downloaded = false;
        try {
            downloaded = AttemptDownload(baseUrls[i] + fileName, destinationPath, longDestination, window,
                                         expectedDigest, maxBytes, stallMs, failure);
        } catch (const std::bad_alloc&) {
        }
        if (!downloaded) {
            continue;
        }
        try {
            if (!isUsable || isUsable(destinationPath)) {
                failure = DownloadFailure();
                return true;
            }
            failure.unusable = true;
        } catch (const std::bad_alloc&) {
        }
        // Damaged on that mirror, an error page, or cut short where no length could tell: the next mirror may hold
        // the right bytes.
        DeleteFileW(longDestination.c_str());
    }
    return false;
}

bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window,
                 const Sha256Digest* expectedDigest, const FileCheck& isUsable, DownloadFailure& failure)
{
    return DownloadFromMirrors(VORLANCE_HOSTS, std::size(VORLANCE_HOSTS), fileName, destinationPath, window,
                               expectedDigest, isUsable, failure);
}
