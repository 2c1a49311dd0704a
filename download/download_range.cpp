#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <new>
#include <string>
#include <utility>

namespace {

// [offset, offset+length) of the file, or its last length bytes when tail is set, continued where a body is cut.
RangeAnswer FetchPart(RemoteFile& file, bool tail, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                      TransferProgress* givenProgress, DownloadedBytes& out, DWORD stallMs)
{
    TransferProgress unseen;
    TransferProgress& progress = givenProgress != nullptr ? *givenProgress : unseen;
    ArrivingBytes bytes;
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
            return ReadWholeFileToMemory(file, connection, answer, maxWholeBytes, nullptr, progress, stallMs, out,
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
        const BodyRead read = ReadBodyToMemory(connection, length, bytes, nullptr, progress);
        received += read.bytes;
        if (read.failed || read.tooLarge) {
            return RangeAnswer::FAILED;
        }
        // All of the part is the part, even when the read after its last byte failed or found the body too slow.
        if (received == length) {
            out = std::move(bytes.image);
            return RangeAnswer::PART;
        }
        if (!TakeContinuation(file, read, continued)) {
            return RangeAnswer::FAILED;
        }
    }
}

} // namespace

RangeAnswer FetchRange(RemoteFile& file, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                       TransferProgress* progress, DownloadedBytes& out, DWORD stallMs)
{
    if (length == 0 || offset + length < offset) {
        return RangeAnswer::FAILED;
    }
    try {
        return FetchPart(file, false, offset, length, maxWholeBytes, progress, out, stallMs);
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
        return FetchPart(file, true, 0, length, maxWholeBytes, progress, out, STALL_MS);
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
}
