#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <new>
#include <string>

namespace {

// A 200 where a part was asked for: the whole file, continued where it is cut, when it fits in maxWholeBytes.
RangeAnswer TakeWholeFile(RemoteFile& file, Connection& connection, const ResponseFacts& answer, size_t maxWholeBytes,
                          TransferProgress& progress, DWORD stallMs, DownloadedBytes& out)
{
    ArrivingBytes bytes;
    BodySink sink;
    sink.read = [&](HINTERNET request, uint64_t limit) {
        return ReadBodyToMemory(request, limit, bytes, nullptr, progress);
    };
    sink.restart = [&]() {
        bytes = ArrivingBytes();
        return true;
    };
    bool tooLarge = false;
    if (!ReadWholeFile(file, connection, answer, maxWholeBytes, progress, stallMs, sink, tooLarge)) {
        return RangeAnswer::FAILED;
    }
    out = JoinBytes(bytes);
    return RangeAnswer::WHOLE_FILE;
}

// A 206 is the part asked for only when it names exactly that range of the file known so far: the same total size,
// and no other validator than the one sent.
bool IsAskedPart(const RemoteFile& file, const ResponseFacts& answer, uint64_t& first, uint64_t& last, uint64_t& total)
{
    return answer.status == HTTP_STATUS_PARTIAL_CONTENT && ParseContentRange(answer.contentRange, first, last, total) &&
           (file.size == 0 || total == file.size) &&
           (file.validator.empty() || answer.validator.empty() || answer.validator == file.validator);
}

// [offset, offset+length) of the file, or its last length bytes when tail is set, continued where a body is cut.
RangeAnswer FetchPart(RemoteFile& file, bool tail, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                      TransferProgress* givenProgress, DownloadedBytes& out, DWORD stallMs)
{
    TransferProgress unseen;
    TransferProgress& progress = givenProgress != nullptr ? *givenProgress : unseen;
    ArrivingBytes bytes;
    uint64_t received = 0;
    for (int continuations = 0;; ++continuations) {
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
            return TakeWholeFile(file, connection, answer, maxWholeBytes, progress, stallMs, out);
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
        const BodyRead read = ReadBodyToMemory(connection.request.get(), length, bytes, nullptr, progress);
        received += read.bytes;
        if (read.failed || read.tooLarge) {
            return RangeAnswer::FAILED;
        }
        if (read.ended && received == length) {
            out = JoinBytes(bytes);
            return RangeAnswer::PART;
        }
        // Cut short. Without a validator a continuation could splice two versions of the file.
        if (continuations == CONTINUATIONS_PER_MIRROR || file.validator.empty() ||
            (continuations > 0 && read.bytes == 0)) {
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
                      DownloadedBytes& out, DWORD stallMs)
{
    if (length == 0) {
        return RangeAnswer::FAILED;
    }
    try {
        return FetchPart(file, true, 0, length, maxWholeBytes, progress, out, stallMs);
    } catch (const std::bad_alloc&) {
        return RangeAnswer::FAILED;
    }
}
