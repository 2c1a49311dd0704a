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
#include <type_traits>
#include <utility>

namespace {

const wchar_t USER_AGENT[] = L"VorlanceUpdater/1.0";
// Always from the server, never from or into the local cache: a cached copy could be an older game.
const DWORD OPEN_URL_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;

// A numeric response value; 0 when the query fails, e.g. for a header the response lacks.
DWORD QueryNumber(HINTERNET request, DWORD query)
{
    DWORD value = 0;
    DWORD length = sizeof(value);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, query | HTTP_QUERY_FLAG_NUMBER, &value, &length, &index)) {
        return 0;
    }
    return value;
}

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
    HWND window = nullptr;
    DWORD contentLength = 0;
    BodySlot slots[SLOT_COUNT];

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    size_t first = 0;
    size_t count = 0;    // the slot being written stays counted until it is done
    bool ended = false;  // nothing more will be queued
    bool failed = false; // a write failed: nothing more is written or read

    // The writer's own until it has ended.
    DWORD byteCount = 0;
    int postedPercent = -1;
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
        PostPercent(queue.window, queue.byteCount, queue.contentLength, queue.postedPercent);
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

// Fills a slot with blocks read from the network; bodyEnded is set at the end of the body. False when a read failed.
bool FillSlot(HINTERNET request, BodySlot& slot, bool& bodyEnded)
{
    slot.blockCount = 0;
    slot.length = 0;
    while (slot.blockCount < BLOCKS_PER_SLOT) {
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, slot.bytes.get() + slot.length, READ_BUFFER_BYTES, &bytesRead)) {
            return false;
        }
        if (bytesRead == 0) {
            bodyEnded = true;
            return true;
        }
        slot.blockLengths[slot.blockCount++] = bytesRead;
        slot.length += bytesRead;
    }
    return true;
}

// Copies the body into the open file, reading the next blocks while earlier ones are written, and posting progress
// as the written part grows. True when the body ended normally and every byte received was written.
bool TransferBody(HINTERNET request, HANDLE file, DWORD contentLength, HWND window, const Sha256Stream* hash)
{
    BodyQueue queue;
    queue.file = file;
    queue.window = window;
    queue.contentLength = contentLength;
    queue.hash = hash;
    for (BodySlot& slot : queue.slots) {
        slot.bytes.reset(new unsigned char[BLOCKS_PER_SLOT * READ_BUFFER_BYTES]);
    }
    // Without a thread of its own the writing is done here, slot by slot, after each one is filled.
    KernelHandle writer(CreateThread(nullptr, 0, WriteBodySlots, &queue, 0, nullptr));

    bool bodyEnded = false;
    bool readFailed = false;
    while (!bodyEnded && !readFailed) {
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
        // before a failed read is still written, as it was received.
        readFailed = !FillSlot(request, slot, bodyEnded);
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
    // Every queued slot is written (or the writer has failed) before the file is closed or deleted.
    if (writer) {
        WaitForSingleObject(writer.get(), INFINITE);
    }

    bool succeeded = bodyEnded && !readFailed && !queue.failed;
    // A connection cut off mid-body can end the loop like a complete body (a successful read of 0 bytes): a count
    // that differs from the announced length is the only sign of a truncated file. Without a length there is nothing
    // to compare with.
    if (contentLength != 0 && queue.byteCount != contentLength) {
        succeeded = false;
    }
    return succeeded;
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

// One attempt against one mirror. The destination is left as it was when the attempt fails before the body; when
// Windows refuses to create it, refusedError receives the code, and it is cleared when the file is created. With
// hash, the bytes written are hashed as they go.
bool AttemptDownload(const std::wstring& url, const std::wstring& destinationPath, HWND window,
                     const Sha256Stream* hash, DWORD& refusedError)
{
    InternetHandle root;
    DWORD contentLength = 0;
    const InternetHandle request = OpenRequest(url, root, contentLength);
    if (!request) {
        return false;
    }
    // Made once, so that deleting a partial file cannot fail for want of memory after it was written.
    const std::wstring longDestination = MakeLongPath(destinationPath);
    DWORD error = 0;
    const HANDLE opened = CreateDestination(destinationPath, longDestination, error);
    // A refusal stands until an attempt creates the file: then the folder evidently takes new files.
    refusedError = opened == INVALID_HANDLE_VALUE ? error : ERROR_SUCCESS;
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(opened);

    const bool succeeded = TransferBody(request.get(), file.get(), contentLength, window, hash);
    // A partial file must be closed before it can be deleted.
    file.reset();
    if (!succeeded) {
        DeleteFileW(longDestination.c_str());
    }
    return succeeded;
}

} // namespace

void PostPercent(HWND window, uint64_t received, DWORD contentLength, int& postedPercent)
{
    if (contentLength == 0) {
        return;
    }
    const int percent = static_cast<int>(received * 100.0 / contentLength);
    // The bar shows nothing new for a repeated value; one post per block would wake the window 8192 times for a
    // 512 MiB file.
    if (percent != postedPercent) {
        PostProgress(window, percent);
        postedPercent = percent;
    }
}

// Opens url and reads its status; an empty holder unless the server answered 200. The root handle must outlive the
// request.
InternetHandle OpenRequest(const std::wstring& url, InternetHandle& root, DWORD& contentLength)
{
    root.reset(InternetOpenW(USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root) {
        return nullptr;
    }
    InternetHandle request(InternetOpenUrlW(root.get(), url.c_str(), nullptr, 0, OPEN_URL_FLAGS, 0));
    // Only a whole file counts: 206 would be a piece of it, 304 nothing at all.
    if (!request || QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE) != HTTP_STATUS_OK) {
        return nullptr;
    }
    contentLength = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH);
    return request;
}

// A hash for a transfer that must have the listed digest; an empty holder (and nothing to check) without one.
bool StartListedHash(const Sha256Digest* expectedDigest, Sha256Stream& hash)
{
    if (expectedDigest == nullptr) {
        return true;
    }
    hash = StartSha256();
    return static_cast<bool>(hash);
}

bool HasListedDigest(const Sha256Digest* expectedDigest, const Sha256Stream& hash)
{
    Sha256Digest digest{};
    return expectedDigest == nullptr || (FinishSha256(hash, digest) && digest == *expectedDigest);
}

bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, const Sha256Digest* expectedDigest,
                         const FileCheck& isUsable, DownloadFailure& failure)
{
    failure = DownloadFailure();
    // Made once, so that deleting a file of the wrong bytes cannot fail for want of memory.
    const std::wstring longDestination = MakeLongPath(destinationPath);
    for (size_t i = 0; i < baseUrlCount; ++i) {
        Sha256Stream hash;
        if (!StartListedHash(expectedDigest, hash) || !AttemptDownload(baseUrls[i] + fileName, destinationPath, window,
                                                                       hash ? &hash : nullptr, failure.refusedError)) {
            continue;
        }
        if (HasListedDigest(expectedDigest, hash)) {
            if (!isUsable || isUsable(destinationPath)) {
                failure = DownloadFailure();
                return true;
            }
            failure.unusable = true;
        } else {
            failure.otherBytes = true;
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
