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

// Copies the body into the open file through buffer, posting progress after every block. True when the body ended
// normally and every byte received was written.
bool TransferBody(HINTERNET request, HANDLE file, unsigned char* buffer, DWORD contentLength, HWND window)
{
    DWORD byteCount = 0;
    bool succeeded = false;
    for (;;) {
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, buffer, READ_BUFFER_BYTES, &bytesRead)) {
            break;
        }
        if (bytesRead == 0) {
            succeeded = true;
            break;
        }
        DWORD bytesWritten = 0;
        if (!WriteFile(file, buffer, bytesRead, &bytesWritten, nullptr) || bytesWritten < bytesRead) {
            break;
        }
        byteCount += bytesWritten;
        if (contentLength != 0) {
            const int percent = static_cast<int>(byteCount * 100.0 / contentLength);
            PostProgress(window, percent);
        }
    }
    // A connection cut off mid-body can end the loop like a complete body (a successful read of 0 bytes): a count
    // that differs from the announced length is the only sign of a truncated file. Without a length there is nothing
    // to compare with.
    if (contentLength != 0 && byteCount != contentLength) {
        succeeded = false;
    }
    return succeeded;
}

// One attempt against one mirror. The destination is left as it was when the attempt fails before the body; when
// Windows refuses to create it, refusedError receives the code.
bool AttemptDownload(const std::wstring& url, const std::wstring& destinationPath, HWND window, DWORD& refusedError)
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
        refusedError = GetLastError();
        return false;
    }
    KernelHandle file(opened);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[READ_BUFFER_BYTES]());

    const bool succeeded = TransferBody(request.get(), file.get(), buffer.get(), contentLength, window);
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
                         DWORD& refusedError)
{
    refusedError = 0;
    // Made once, so that deleting a file of the wrong bytes cannot fail for want of memory.
    const std::wstring longDestination = MakeLongPath(destinationPath);
    for (size_t i = 0; i < baseUrlCount; ++i) {
        if (!AttemptDownload(baseUrls[i] + fileName, destinationPath, window, refusedError)) {
            continue;
        }
        Sha256Digest digest{};
        if (expectedDigest == nullptr || (HashFileSha256(destinationPath, digest) && digest == *expectedDigest)) {
            refusedError = 0;
            return true;
        }
        // Damaged on that mirror, or cut short where no length could tell: the next mirror may hold the right bytes.
        DeleteFileW(longDestination.c_str());
    }
    return false;
}

bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, DWORD& refusedError)
{
    return DownloadFromMirrors(baseUrls, baseUrlCount, fileName, destinationPath, window, nullptr, refusedError);
}

bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window)
{
    DWORD refusedError = 0;
    return DownloadFromMirrors(baseUrls, baseUrlCount, fileName, destinationPath, window, refusedError);
}

bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window,
                 const Sha256Digest* expectedDigest, DWORD& refusedError)
{
    return DownloadFromMirrors(VORLANCE_HOSTS, std::size(VORLANCE_HOSTS), fileName, destinationPath, window,
                               expectedDigest, refusedError);
}

bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window, DWORD& refusedError)
{
    return DownloadAny(fileName, destinationPath, window, nullptr, refusedError);
}

bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window)
{
    DWORD refusedError = 0;
    return DownloadAny(fileName, destinationPath, window, refusedError);
}

bool IsWriteRefusal(unsigned long errorCode)
{
    return errorCode == ERROR_ACCESS_DENIED || errorCode == ERROR_WRITE_PROTECT ||
           errorCode == ERROR_NETWORK_ACCESS_DENIED;
}
