#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace {

// Memory is taken at most this far ahead of the bytes that came, so that a mirror that announces a large file and
// sends little costs little; smaller steps while little has come keep a small body in one small block.
const size_t GROW_STEP_MAX_BYTES = 16 * 1024 * 1024;

// One attempt at one URL: the whole body, continued where it was cut, hashed as it comes when a digest is listed.
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
    Sha256Stream hash;
    if (!StartListedHash(expectedDigest, hash)) {
        return false;
    }
    ArrivingBytes bytes;
    TransferProgress progress;
    progress.window = window;
    BodySink sink;
    sink.read = [&](HINTERNET request, uint64_t limit) {
        return ReadBodyToMemory(request, limit, bytes, hash ? &hash : nullptr, progress);
    };
    sink.restart = [&]() {
        bytes = ArrivingBytes();
        return StartListedHash(expectedDigest, hash);
    };
    RemoteFile file;
    file.url = url;
    if (!ReadWholeFile(file, connection, facts, maxBytes, progress, stallMs, sink, tooLarge)) {
        return false;
    }
    if (!HasListedDigest(expectedDigest, hash)) {
        otherBytes = true;
        return false;
    }
    body = JoinBytes(bytes);
    return true;
}

} // namespace

BodyRead ReadBodyToMemory(HINTERNET request, uint64_t limit, ArrivingBytes& bytes, const Sha256Stream* hash,
                          TransferProgress& progress)
{
    BodyRead read;
    for (;;) {
        if (bytes.blocks.empty() || bytes.blocks.back().used == bytes.blocks.back().capacity) {
            // Room for one byte past the limit, which is one too many.
            const uint64_t room = limit - bytes.size < UINT64_MAX ? limit - bytes.size + 1 : UINT64_MAX;
            const size_t step = std::clamp<size_t>(bytes.size / 2, READ_BUFFER_BYTES, GROW_STEP_MAX_BYTES);
            ArrivingBlock block;
            block.capacity = static_cast<size_t>(std::min<uint64_t>(step, room));
            block.bytes.reset(new unsigned char[block.capacity]);
            bytes.blocks.push_back(std::move(block));
        }
        ArrivingBlock& block = bytes.blocks.back();
        unsigned char* space = block.bytes.get() + block.used;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(block.capacity - block.used, READ_BUFFER_BYTES));
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, space, piece, &bytesRead)) {
            return read;
        }
        if (bytesRead == 0) {
            read.ended = true;
            return read;
        }
        if (bytes.size + bytesRead > limit) {
            read.tooLarge = true;
            return read;
        }
        if (hash != nullptr && !AddSha256(*hash, space, bytesRead)) {
            read.failed = true;
            return read;
        }
        block.used += bytesRead;
        bytes.size += bytesRead;
        read.bytes += bytesRead;
        AddProgress(progress, bytesRead);
    }
}

DownloadedBytes JoinBytes(ArrivingBytes& bytes)
{
    DownloadedBytes joined;
    if (bytes.blocks.size() == 1) {
        joined.bytes = std::move(bytes.blocks.front().bytes);
    } else {
        // Each block goes as soon as it is copied, so that the pages in use grow by little more than one block.
        joined.bytes.reset(new unsigned char[std::max<size_t>(bytes.size, 1)]);
        size_t at = 0;
        for (ArrivingBlock& block : bytes.blocks) {
            std::memcpy(joined.bytes.get() + at, block.bytes.get(), block.used);
            at += block.used;
            block.bytes.reset();
        }
    }
    joined.size = bytes.size;
    bytes = ArrivingBytes();
    return joined;
}

bool DownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, DownloadedBytes& body, DWORD stallMs)
{
    bool tooLarge = false;
    bool otherBytes = false;
    try {
        return AttemptDownloadToMemory(url, window, maxBytes, nullptr, stallMs, body, tooLarge, otherBytes);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool DownloadFromMirrorsToMemory(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                                 HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                                 const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure,
                                 DWORD stallMs)
{
    failure = DownloadFailure();
    for (size_t i = 0; i < baseUrlCount; ++i) {
        // Memory that ran out at one mirror (a long body, or the caller's check of it) may suffice at the next.
        try {
            bool tooLarge = false;
            bool otherBytes = false;
            DownloadedBytes received;
            if (!AttemptDownloadToMemory(baseUrls[i] + fileName, window, maxBytes, expectedDigest, stallMs, received,
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
