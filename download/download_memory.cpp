#include "download/download.h"

#include "download/download_internal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

// Reads a whole body into memory, at most maxBytes of it: an announced or received length past that ends the
// transfer, so that a hostile mirror cannot fill the player's memory. With hash, the bytes are hashed as they come.
bool TransferBodyToMemory(HINTERNET request, DWORD contentLength, size_t maxBytes, HWND window,
                          const Sha256Stream* hash, DownloadedBytes& body, bool& tooLarge)
{
    tooLarge = contentLength > maxBytes;
    if (tooLarge) {
        return false;
    }
    // Cleared when allocated: under Wine, filling memory never touched before measured slower than clearing it.
    size_t capacity = contentLength != 0 ? contentLength : std::min<size_t>(maxBytes, READ_BUFFER_BYTES);
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[capacity + 1]());
    size_t received = 0;
    int postedPercent = -1;
    for (;;) {
        if (received == capacity) {
            if (contentLength != 0 || capacity == maxBytes) {
                // One byte past the announced length or the limit is one too many; it lands in the spare byte.
                DWORD extra = 0;
                if (!InternetReadFile(request, bytes.get() + capacity, 1, &extra)) {
                    return false;
                }
                if (extra != 0) {
                    tooLarge = capacity == maxBytes;
                    return false;
                }
                break;
            }
            const size_t grown = std::min(maxBytes, capacity * 2);
            std::unique_ptr<unsigned char[]> larger(new unsigned char[grown + 1]());
            std::memcpy(larger.get(), bytes.get(), received);
            bytes = std::move(larger);
            capacity = grown;
        }
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(capacity - received, READ_BUFFER_BYTES));
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, bytes.get() + received, piece, &bytesRead)) {
            return false;
        }
        if (bytesRead == 0) {
            break;
        }
        if (hash != nullptr && !AddSha256(*hash, bytes.get() + received, bytesRead)) {
            return false;
        }
        received += bytesRead;
        PostPercent(window, received, contentLength, postedPercent);
    }
    // A cut-off connection ends like a whole body; only the announced length tells them apart.
    if (contentLength != 0 && received != contentLength) {
        return false;
    }
    body.bytes = std::move(bytes);
    body.size = received;
    return true;
}

bool AttemptDownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, const Sha256Stream* hash,
                             DownloadedBytes& body, bool& tooLarge)
{
    tooLarge = false;
    InternetHandle root;
    DWORD contentLength = 0;
    const InternetHandle request = OpenRequest(url, root, contentLength);
    return request && TransferBodyToMemory(request.get(), contentLength, maxBytes, window, hash, body, tooLarge);
}

} // namespace

bool DownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, DownloadedBytes& body)
{
    bool tooLarge = false;
    return AttemptDownloadToMemory(url, window, maxBytes, nullptr, body, tooLarge);
}

bool DownloadFromMirrorsToMemory(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                                 HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                                 const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure)
{
    failure = DownloadFailure();
    for (size_t i = 0; i < baseUrlCount; ++i) {
        Sha256Stream hash;
        bool tooLarge = false;
        DownloadedBytes received;
        if (!StartListedHash(expectedDigest, hash) ||
            !AttemptDownloadToMemory(baseUrls[i] + fileName, window, maxBytes, hash ? &hash : nullptr, received,
                                     tooLarge)) {
            failure.tooLarge = failure.tooLarge || tooLarge;
            continue;
        }
        if (!HasListedDigest(expectedDigest, hash)) {
            failure.otherBytes = true;
            continue;
        }
        if (!isUsable || isUsable(received)) {
            body = std::move(received);
            return true;
        }
        // An error page, a parked domain or a damaged upload: the next mirror may serve the real file.
        failure.unusable = true;
    }
    return false;
}

bool DownloadAnyToMemory(const std::wstring& fileName, HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                         const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure)
{
    return DownloadFromMirrorsToMemory(VORLANCE_HOSTS, std::size(VORLANCE_HOSTS), fileName, window, maxBytes,
                                       expectedDigest, isUsable, body, failure);
}
