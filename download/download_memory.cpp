#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace {

// Memory is committed at most this far ahead of the bytes that came, so that a mirror that announces a large file
// and sends little costs little; smaller steps while little has come keep a small body small.
const size_t GROW_STEP_MAX_BYTES = 16 * 1024 * 1024;

void ReleaseReserved(unsigned char* bytes)
{
    VirtualFree(bytes, 0, MEM_RELEASE);
}

// Room for one more read: the region for limit + 1 bytes (one byte past the limit is one too many) is reserved with
// the first byte, then committed a step further.
void CommitAhead(ArrivingBytes& bytes, uint64_t limit)
{
    if (!bytes.image.bytes) {
        if (limit >= SIZE_MAX) {
            throw std::bad_alloc();
        }
        const size_t reserved = static_cast<size_t>(limit) + 1;
        void* region = VirtualAlloc(nullptr, reserved, MEM_RESERVE, PAGE_NOACCESS);
        if (region == nullptr) {
            throw std::bad_alloc();
        }
        bytes.image.bytes = decltype(bytes.image.bytes)(static_cast<unsigned char*>(region), {ReleaseReserved});
        bytes.reserved = reserved;
        bytes.committed = 0;
    }
    const size_t step = std::clamp<size_t>(bytes.image.size / 2, READ_BUFFER_BYTES, GROW_STEP_MAX_BYTES);
    const size_t end = bytes.committed + std::min(step, bytes.reserved - bytes.committed);
    if (end == bytes.committed || VirtualAlloc(bytes.image.bytes.get() + bytes.committed, end - bytes.committed,
                                               MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        throw std::bad_alloc();
    }
    bytes.committed = end;
}

// One attempt at one URL: the whole body, continued where it was cut.
bool AttemptDownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                             DWORD stallMs, DownloadedBytes& body, bool& tooLarge, bool& otherBytes)
{
    tooLarge = false;
    otherBytes = false;
    Connection connection;
    ResponseFacts facts;
    // Only a whole file counts: 206 would be a piece of it, 304 nothing at all.
    if (!OpenRequest(url, std::wstring(), stallMs, connection, facts) || facts.status != HTTP_STATUS_OK) {
        return false;
    }
    TransferProgress progress;
    progress.window = window;
    RemoteFile file;
    file.url = url;
    return ReadWholeFileToMemory(file, connection, facts, maxBytes, expectedDigest, progress, stallMs, body, tooLarge,
                                 otherBytes);
}

} // namespace

BodyRead ReadBodyToMemory(Connection& connection, uint64_t limit, ArrivingBytes& bytes, const Sha256Stream* hash,
                          TransferProgress& progress)
{
    BodyRead read;
    for (;;) {
        if (bytes.image.size == bytes.committed) {
            CommitAhead(bytes, limit);
        }
        unsigned char* space = bytes.image.bytes.get() + bytes.image.size;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.committed - bytes.image.size, READ_BUFFER_BYTES));
        DWORD bytesRead = 0;
        bool ended = false;
        const bool blockRead = ReadBlock(connection, space, piece, bytesRead, ended);
        // What came before a failed read is kept: a continuation starts after it.
        if (bytes.image.size + bytesRead > limit) {
            read.tooLarge = true;
            return read;
        }
        if (bytesRead > 0) {
            if (hash != nullptr && !AddSha256(*hash, space, bytesRead)) {
                read.failed = true;
                return read;
            }
            bytes.image.size += bytesRead;
            read.bytes += bytesRead;
            AddProgress(progress, bytesRead);
        }
        if (!blockRead || ended) {
            read.ended = ended;
            return read;
        }
    }
}

bool ReadWholeFileToMemory(RemoteFile& file, Connection& connection, const ResponseFacts& facts, uint64_t maxBytes,
                           const Sha256Digest* expectedDigest, TransferProgress& progress, DWORD stallMs,
                           DownloadedBytes& body, bool& tooLarge, bool& otherBytes)
{
    tooLarge = false;
    otherBytes = false;
    Sha256Stream hash;
    if (!StartListedHash(expectedDigest, hash)) {
        return false;
    }
    ArrivingBytes bytes;
    BodySink sink;
    sink.read = [&](Connection& current, uint64_t limit) {
        return ReadBodyToMemory(current, limit, bytes, hash ? &hash : nullptr, progress);
    };
    sink.restart = [&]() {
        bytes = ArrivingBytes();
        return StartListedHash(expectedDigest, hash);
    };
    if (!ReadWholeFile(file, connection, facts, maxBytes, progress, stallMs, sink, tooLarge)) {
        return false;
    }
    if (!HasListedDigest(expectedDigest, hash)) {
        otherBytes = true;
        return false;
    }
    body = std::move(bytes.image);
    return true;
}

bool DownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, DownloadedBytes& body)
{
    bool tooLarge = false;
    bool otherBytes = false;
    try {
        return AttemptDownloadToMemory(url, window, maxBytes, nullptr, STALL_MS, body, tooLarge, otherBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool DownloadFromMirrorsToMemory(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                                 HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                                 const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure)
{
    failure = DownloadFailure();
    for (size_t i = 0; i < baseUrlCount; ++i) {
        // Memory that ran out at one mirror (a long body, or the caller's check of it) may suffice at the next.
        try {
            bool tooLarge = false;
            bool otherBytes = false;
            DownloadedBytes received;
            if (!AttemptDownloadToMemory(baseUrls[i] + fileName, window, maxBytes, expectedDigest, STALL_MS, received,
                                         tooLarge, otherBytes)) {
                failure.tooLarge = failure.tooLarge || tooLarge;
                failure.otherBytes = failure.otherBytes || otherBytes;
                continue;
            }
            if (!isUsable || isUsable(received)) {
                body = std::move(received);
                return true;
            }
            // An error page, a parked domain or a damaged upload: the next mirror may serve the real file.
            failure.unusable = true;
        } catch (const std::bad_alloc&) {
        }
    }
    return false;
}

bool DownloadAnyToMemory(const std::wstring& fileName, HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                         const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure)
{
    return DownloadFromMirrorsToMemory(VORLANCE_HOSTS, std::size(VORLANCE_HOSTS), fileName, window, maxBytes,
                                       expectedDigest, isUsable, body, failure);
}
