#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace {

// Reads one response's body of a part of length bytes, of which received came in earlier responses.
using PartReader =
    std::function<BodyRead(Connection& connection, uint64_t length, uint64_t received, TransferProgress& progress)>;

// Hands one response's body to part as it comes, through buffer (READ_BUFFER_BYTES), at most left bytes, posting
// progress.
BodyRead ReadBodyToPart(Connection& connection, uint64_t left, const PartSink& part, unsigned char* buffer,
                        TransferProgress& progress)
{
    BodyRead read;
    for (;;) {
        DWORD bytesRead = 0;
        bool ended = false;
        const bool blockRead = ReadBlock(connection, buffer, READ_BUFFER_BYTES, bytesRead, ended);
        if (bytesRead > left - read.bytes) {
            read.tooLarge = true;
            return read;
        }
        if (bytesRead > 0) {
            if (!part(buffer, bytesRead)) {
                read.failed = true;
                return read;
            }
            read.bytes += bytesRead;
            AddProgress(progress, bytesRead);
        }
        if (!blockRead || ended) {
            read.ended = ended;
            return read;
        }
    }
}

// [offset, offset+length) of the file, or its last length bytes when tail is set, continued where a body is cut;
// readPart takes each response's body. A 200 leaves the whole file in whole.
RangeAnswer FetchPart(RemoteFile& file, bool tail, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                      TransferProgress* givenProgress, const PartReader& readPart, DownloadedBytes& whole,
                      DWORD stallMs)
{
    TransferProgress unseen;
    TransferProgress& progress = givenProgress != nullptr ? *givenProgress : unseen;
    uint64_t received = 0;
    for (bool continued = false;; continued = true) {
        const std::wstring range =
            tail ? L"bytes=-" + std::to_wstring(length)
                 : L"bytes=" + std::to_wstring(offset + received) + L"-" + std::to_wstring(offset + length - 1);
        Connection connection;
        ResponseFacts answer;
        if (!OpenRequest(file.url, RangeHeaders(range, file.validator), stallMs, connection, answer)) {
            return RangeAnswer::FAILED;
        }
        // No ranges here, or the file changed since its validator was learnt: all of it, from its first byte.
        if (answer.status == HTTP_STATUS_OK) {
            bool tooLarge = false;
            bool otherBytes = false;
            return ReadWholeFileToMemory(file, connection, answer, maxWholeBytes, nullptr, progress, stallMs, whole,
                                         tooLarge, otherBytes)
                       ? RangeAnswer::WHOLE_FILE
                       : RangeAnswer::FAILED;
        }
        uint64_t first = 0;
        uint64_t last = 0;
        uint64_t total = 0;
        if (!IsAskedPart(file, answer, first, last, total)) {
            return RangeAnswer::FAILED;
        }
        if (tail) {
            // A file shorter than the tail comes whole.
            if (last != total - 1 || last - first + 1 != std::min(length, total)) {
                return RangeAnswer::FAILED;
            }
            tail = false;
            offset = first;
            length = total - first;
        } else if (first != offset + received || last != offset + length - 1) {
            return RangeAnswer::FAILED;
        }
        file.size = total;
        if (file.validator.empty()) {
            file.validator = answer.validator;
        }
        const BodyRead read = readPart(connection, length, received, progress);
        received += read.bytes;
        if (read.failed || read.tooLarge) {
            return RangeAnswer::FAILED;
        }
        // All of the part is the part, even when the read after its last byte failed or found the body too slow.
        if (received == length) {
            return RangeAnswer::PART;
        }
        if (!TakeContinuation(file, read, continued)) {
            return RangeAnswer::FAILED;
        }
    }
}

// FetchPart with the part's bytes kept in memory as they arrive, the one block out then holds.
RangeAnswer FetchPartToMemory(RemoteFile& file, bool tail, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                              TransferProgress* progress, DownloadedBytes& out, DWORD stallMs)
{
    ArrivingBytes bytes;
    const PartReader toMemory = [&](Connection& connection, uint64_t partLength, uint64_t, TransferProgress& shown) {
        return ReadBodyToMemory(connection, partLength, bytes, nullptr, shown);
    };
    const RangeAnswer answer = FetchPart(file, tail, offset, length, maxWholeBytes, progress, toMemory, out, stallMs);
    if (answer == RangeAnswer::PART) {
        out = std::move(bytes.image);
    }
    return answer;
}

} // namespace

RangeAnswer FetchRange(RemoteFile& file, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                       TransferProgress* progress, DownloadedBytes& out, DWORD stallMs)
{
    if (length == 0 || offset + length < offset) {
        return RangeAnswer::FAILED;
    }
    try {
        return FetchPartToMemory(file, false, offset, length, maxWholeBytes, progress, out, stallMs);
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
}

RangeAnswer FetchRangeTo(RemoteFile& file, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                         TransferProgress* progress, const PartSink& part, DownloadedBytes& whole, DWORD stallMs)
{
    if (length == 0 || offset + length < offset) {
        return RangeAnswer::FAILED;
    }
    try {
        const std::unique_ptr<unsigned char[]> buffer(new unsigned char[READ_BUFFER_BYTES]);
        const PartReader toPart = [&](Connection& connection, uint64_t partLength, uint64_t received,
                                      TransferProgress& shown) {
            return ReadBodyToPart(connection, partLength - received, part, buffer.get(), shown);
        };
        return FetchPart(file, false, offset, length, maxWholeBytes, progress, toPart, whole, stallMs);
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
}

RangeAnswer FetchTail(RemoteFile& file, uint64_t length, size_t maxWholeBytes, TransferProgress* progress,
                      DownloadedBytes& out)
{
    if (length == 0) {
        return RangeAnswer::FAILED;
    }
    try {
        return FetchPartToMemory(file, true, 0, length, maxWholeBytes, progress, out, STALL_MS);
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
}
