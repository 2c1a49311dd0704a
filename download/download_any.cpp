#include "download/download.h"

#include "fs/fs.h"
#include "fs/handles.h"
#include "status/status.h"

#include <wininet.h>

#include <iterator>
#include <memory>
#include <type_traits>

namespace {

const wchar_t USER_AGENT[] = L"VorlanceUpdater/1.0";
// Always from the server, never from or into the local cache: a cached copy could be an older game.
const DWORD OPEN_URL_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD READ_BUFFER_BYTES = 65536;

struct InternetCloser {
    void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

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

// Blocks read ahead of the file: while one is written, the next ones are read from the network.
const size_t BLOCK_COUNT = 8;

// The body on its way from the network to the file: the reading thread queues blocks, a writing thread writes them
// in order and posts the progress of what is written.
struct BodyBlocks {
    HANDLE file = INVALID_HANDLE_VALUE;
    HWND window = nullptr;
    DWORD contentLength = 0;
    std::unique_ptr<unsigned char[]> memory; // BLOCK_COUNT blocks of READ_BUFFER_BYTES
    DWORD lengths[BLOCK_COUNT] = {};

    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    size_t first = 0;
    size_t count = 0;    // the block being written stays counted until it is done
    bool ended = false;  // nothing more will be queued
    bool failed = false; // a write failed: nothing more is written or read

    // The writer's own until it has ended.
    DWORD byteCount = 0;
    int postedPercent = -1;
};

unsigned char* Block(BodyBlocks& blocks, size_t index)
{
    return blocks.memory.get() + index * READ_BUFFER_BYTES;
}

// Writes the oldest queued block, then posts the new percentage of the body written when it changed. False when the
// write failed.
bool WriteOldestBlock(BodyBlocks& blocks)
{
    const DWORD length = blocks.lengths[blocks.first];
    DWORD bytesWritten = 0;
    if (!WriteFile(blocks.file, Block(blocks, blocks.first), length, &bytesWritten, nullptr) || bytesWritten < length) {
        return false;
    }
    blocks.byteCount += bytesWritten;
    if (blocks.contentLength != 0) {
        const int percent = static_cast<int>(blocks.byteCount * 100.0 / blocks.contentLength);
        // The bar shows nothing new for a repeated value; one post per block would wake the window 8192 times for
        // a 512 MiB file.
        if (percent != blocks.postedPercent) {
            PostProgress(blocks.window, percent);
            blocks.postedPercent = percent;
        }
    }
    return true;
}

// Takes the oldest block off the queue after its write, under the lock.
void RetireOldestBlock(BodyBlocks& blocks, bool written)
{
    blocks.failed = blocks.failed || !written;
    blocks.first = (blocks.first + 1) % BLOCK_COUNT;
    --blocks.count;
    WakeAllConditionVariable(&blocks.changed);
}

DWORD WINAPI WriteBodyBlocks(void* parameter)
{
    BodyBlocks& blocks = *static_cast<BodyBlocks*>(parameter);
    AcquireSRWLockExclusive(&blocks.lock);
    while (!blocks.failed) {
        while (blocks.count == 0 && !blocks.ended) {
            SleepConditionVariableSRW(&blocks.changed, &blocks.lock, INFINITE, 0);
        }
        if (blocks.count == 0) {
            break;
        }
        ReleaseSRWLockExclusive(&blocks.lock);
        const bool written = WriteOldestBlock(blocks);
        AcquireSRWLockExclusive(&blocks.lock);
        RetireOldestBlock(blocks, written);
    }
    ReleaseSRWLockExclusive(&blocks.lock);
    return 0;
}

// Copies the body into the open file, reading the next blocks while earlier ones are written, and posting progress
// as the written part grows. True when the body ended normally and every byte received was written.
bool TransferBody(HINTERNET request, HANDLE file, DWORD contentLength, HWND window)
{
    BodyBlocks blocks;
    blocks.file = file;
    blocks.window = window;
    blocks.contentLength = contentLength;
    blocks.memory.reset(new unsigned char[BLOCK_COUNT * READ_BUFFER_BYTES]);
    // Without a thread of its own the writing is done here, block by block, after each read.
    KernelHandle writer(CreateThread(nullptr, 0, WriteBodyBlocks, &blocks, 0, nullptr));

    bool bodyEnded = false;
    for (;;) {
        AcquireSRWLockExclusive(&blocks.lock);
        while (blocks.count == BLOCK_COUNT && !blocks.failed) {
            SleepConditionVariableSRW(&blocks.changed, &blocks.lock, INFINITE, 0);
        }
        const bool failed = blocks.failed;
        const size_t next = (blocks.first + blocks.count) % BLOCK_COUNT;
        ReleaseSRWLockExclusive(&blocks.lock);
        if (failed) {
            break;
        }
        // The block at next is neither queued nor being written, so it is this thread's until it is queued.
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, Block(blocks, next), READ_BUFFER_BYTES, &bytesRead)) {
            break;
        }
        if (bytesRead == 0) {
            bodyEnded = true;
            break;
        }
        blocks.lengths[next] = bytesRead;
        AcquireSRWLockExclusive(&blocks.lock);
        ++blocks.count;
        WakeAllConditionVariable(&blocks.changed);
        ReleaseSRWLockExclusive(&blocks.lock);
        if (!writer) {
            const bool written = WriteOldestBlock(blocks);
            AcquireSRWLockExclusive(&blocks.lock);
            RetireOldestBlock(blocks, written);
            ReleaseSRWLockExclusive(&blocks.lock);
        }
    }
    AcquireSRWLockExclusive(&blocks.lock);
    blocks.ended = true;
    WakeAllConditionVariable(&blocks.changed);
    ReleaseSRWLockExclusive(&blocks.lock);
    // Every queued block is written (or the writer has failed) before the file is closed or deleted.
    if (writer) {
        WaitForSingleObject(writer.get(), INFINITE);
    }

    bool succeeded = bodyEnded && !blocks.failed;
    // A connection cut off mid-body can end the loop like a complete body (a successful read of 0 bytes): a count
    // that differs from the announced length is the only sign of a truncated file. Without a length there is nothing
    // to compare with.
    if (contentLength != 0 && blocks.byteCount != contentLength) {
        succeeded = false;
    }
    return succeeded;
}

// One attempt against one mirror. The destination is left as it was when the attempt fails before the body.
bool AttemptDownload(const std::wstring& url, const std::wstring& destinationPath, HWND window)
{
    InternetHandle root(InternetOpenW(USER_AGENT, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!root) {
        return false;
    }
    InternetHandle request(InternetOpenUrlW(root.get(), url.c_str(), nullptr, 0, OPEN_URL_FLAGS, 0));
    if (!request) {
        return false;
    }
    // Only a whole file counts: 206 would be a piece of it, 304 nothing at all.
    if (QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE) != HTTP_STATUS_OK) {
        return false;
    }
    const DWORD contentLength = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH);

    // Made once, so that deleting a partial file cannot fail for want of memory after it was written.
    const std::wstring longDestination = MakeLongPath(destinationPath);
    const HANDLE opened =
        CreateFileW(longDestination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        return false;
    }
    KernelHandle file(opened);

    const bool succeeded = TransferBody(request.get(), file.get(), contentLength, window);
    // A partial file must be closed before it can be deleted.
    file.reset();
    if (!succeeded) {
        DeleteFileW(longDestination.c_str());
    }
    return succeeded;
}

} // namespace

bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window)
{
    for (size_t i = 0; i < baseUrlCount; ++i) {
        if (AttemptDownload(baseUrls[i] + fileName, destinationPath, window)) {
            return true;
        }
    }
    return false;
}

bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window)
{
    return DownloadFromMirrors(VORLANCE_HOSTS, std::size(VORLANCE_HOSTS), fileName, destinationPath, window);
}
