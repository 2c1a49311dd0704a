#include "download/download_internal.h"

#include "status/status.h"

#include <algorithm>

namespace {

// Always from the server, never from or into the local cache: a cached copy could be an older game.
const DWORD OPEN_URL_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
// A Last-Modified names a version only when the file was not written again within the same second.
const uint64_t LAST_MODIFIED_SETTLED_100NS = 10000000;

// A response header as text; empty when the response lacks it or it is not plain ASCII.
std::string QueryText(HINTERNET request, DWORD query)
{
    wchar_t value[512] = {};
    DWORD length = sizeof(value) - sizeof(wchar_t);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, query, value, &length, &index)) {
        return std::string();
    }
    std::string text;
    for (const wchar_t* c = value; *c != L'\0'; ++c) {
        if (*c < 0x20 || *c > 0x7e) {
            return std::string();
        }
        text += static_cast<char>(*c);
    }
    return text;
}

// The decimal number at `at`, which moves past it; false without a digit or past 64 bits.
bool ParseNumber(const std::string& text, size_t& at, uint64_t& value)
{
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++at;
    }
    return at > start;
}

// An HTTP date as 100 ns units; false when it does not parse.
bool ParseHttpDate(const std::string& text, uint64_t& time)
{
    SYSTEMTIME system = {};
    FILETIME file = {};
    const std::wstring wide(text.begin(), text.end());
    if (text.empty() || !InternetTimeToSystemTimeW(wide.c_str(), &system, 0) || !SystemTimeToFileTime(&system, &file)) {
        return false;
    }
    time = (static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    return true;
}

// What may go into If-Range: never a weak tag, and a date only when it cannot stand for two versions.
std::string StrongValidator(HINTERNET request)
{
    const std::string tag = QueryText(request, HTTP_QUERY_ETAG);
    if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') {
        return tag;
    }
    if (!tag.empty()) {
        return std::string(); // weak, or malformed: a date beside it is no stronger
    }
    const std::string modified = QueryText(request, HTTP_QUERY_LAST_MODIFIED);
    uint64_t modifiedTime = 0;
    uint64_t answerTime = 0;
    if (ParseHttpDate(modified, modifiedTime) && ParseHttpDate(QueryText(request, HTTP_QUERY_DATE), answerTime) &&
        answerTime >= modifiedTime + LAST_MODIFIED_SETTLED_100NS) {
        return modified;
    }
    return std::string();
}

bool SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds)
{
    return InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds)) != FALSE;
}

} // namespace

bool OpenRequest(const std::wstring& url, const std::wstring& extraHeaders, DWORD stallMs, Connection& connection,
                 ResponseFacts& facts)
{
    facts = ResponseFacts();
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTPS && parts.nScheme != INTERNET_SCHEME_HTTP)) {
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    // The request before, if any, gives its connection back first: it may carry this one.
    connection.request.reset();
    const HINTERNET session = MirrorSession(parts.nScheme, host, parts.nPort);
    if (session == nullptr) {
        return false;
    }
    const DWORD flags = OPEN_URL_FLAGS | (parts.nScheme == INTERNET_SCHEME_HTTPS ? INTERNET_FLAG_SECURE : 0);
    connection.request.reset(HttpOpenRequestW(session, L"GET", path.c_str(), nullptr, nullptr, nullptr, flags, 0));
    // Wine's WinINet honours a receive timeout only on a request handle made this way, and only when set before the
    // request is sent; closing a handle from another thread does not wake a read blocked there. It also ends a wait
    // for the answer's headers. A send or connect timeout set beside it made 512 MiB arrive 1.4 times slower under
    // Wine, so the system's own stay.
    if (!connection.request || !SetTimeout(connection.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, stallMs)) {
        return false;
    }
    // The wait for the answer's headers is inside the first low-speed window.
    connection.window = SpeedWindow{stallMs, GetTickCount64(), 0};
    if (!HttpSendRequestW(connection.request.get(), extraHeaders.empty() ? nullptr : extraHeaders.c_str(),
                          static_cast<DWORD>(extraHeaders.size()), nullptr, 0)) {
        return false;
    }
    HINTERNET request = connection.request.get();
    DWORD status = 0;
    DWORD size = sizeof(status);
    DWORD index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index)) {
        return false;
    }
    facts.status = status;
    const std::string length = QueryText(request, HTTP_QUERY_CONTENT_LENGTH);
    size_t at = 0;
    facts.hasLength = ParseNumber(length, at, facts.length) && at == length.size();
    facts.contentRange = QueryText(request, HTTP_QUERY_CONTENT_RANGE);
    facts.validator = StrongValidator(request);
    return true;
}

bool ReadBlock(Connection& connection, unsigned char* buffer, DWORD size, DWORD& bytesRead, bool& ended)
{
    bytesRead = 0;
    ended = false;
    SpeedWindow& window = connection.window;
    while (bytesRead < size) {
        // Only what has come is asked for: a read of more waits until all of it is there, however slowly it trickles
        // in, and the window could not be judged meanwhile. The wait for a first byte ends at the receive timeout.
        DWORD available = 0;
        DWORD piece = 0;
        if (!InternetQueryDataAvailable(connection.request.get(), &available, 0, 0) ||
            !InternetReadFile(connection.request.get(), buffer + bytesRead,
                              std::clamp<DWORD>(available, 1, size - bytesRead), &piece)) {
            return false;
        }
        if (piece == 0) {
            ended = true;
            return true;
        }
        bytesRead += piece;
        window.bytes += piece;
        const ULONGLONG now = GetTickCount64();
        if (now - window.start >= window.lengthMs) {
            if (window.bytes < LOW_SPEED_BYTES) {
                return false;
            }
            window.start = now;
            window.bytes = 0;
        }
    }
    return true;
}

std::wstring RangeHeaders(const std::wstring& range, const std::string& validator)
{
    std::wstring headers = L"Range: " + range + L"\r\n";
    if (!validator.empty()) {
        headers += L"If-Range: " + std::wstring(validator.begin(), validator.end()) + L"\r\n";
    }
    return headers;
}

bool ParseContentRange(const std::string& text, uint64_t& first, uint64_t& last, uint64_t& total)
{
    const std::string unit = "bytes ";
    if (text.compare(0, unit.size(), unit) != 0) {
        return false;
    }
    size_t at = unit.size();
    if (!ParseNumber(text, at, first) || at >= text.size() || text[at++] != '-' || !ParseNumber(text, at, last) ||
        at >= text.size() || text[at++] != '/' || !ParseNumber(text, at, total)) {
        return false;
    }
    return at == text.size() && first <= last && last < total;
}

void AddProgress(TransferProgress& progress, uint64_t bytes)
{
    progress.done += bytes;
    if (progress.total == 0) {
        return;
    }
    const int percent = static_cast<int>(std::min<double>(100.0, progress.done * 100.0 / progress.total));
    // The bar shows nothing new for a repeated value; one post per block would wake the window 8192 times for a
    // 512 MiB file.
    if (percent != progress.posted) {
        PostProgress(progress.window, percent);
        progress.posted = percent;
    }
}

bool IsAskedPart(const RemoteFile& file, const ResponseFacts& answer, uint64_t& first, uint64_t& last, uint64_t& total)
{
    return answer.status == HTTP_STATUS_PARTIAL_CONTENT && ParseContentRange(answer.contentRange, first, last, total) &&
           (file.size == 0 || total == file.size) &&
           (file.validator.empty() || answer.validator.empty() || answer.validator == file.validator);
}

bool TakeContinuation(RemoteFile& file, const BodyRead& read, bool continued)
{
    // Without a validator a continuation could splice two versions of the file.
    if (file.continuations >= CONTINUATIONS_PER_MIRROR || file.validator.empty() || (continued && read.bytes == 0)) {
        return false;
    }
    ++file.continuations;
    return true;
}

bool ReadWholeFile(RemoteFile& file, Connection& connection, const ResponseFacts& facts, uint64_t maxBytes,
                   TransferProgress& progress, DWORD stallMs, const BodySink& sink, bool& tooLarge)
{
    tooLarge = false;
    bool sizeKnown = false;
    const auto learn = [&](const ResponseFacts& answer) {
        sizeKnown = answer.hasLength;
        file.size = answer.hasLength ? answer.length : 0;
        file.validator = answer.validator;
        progress.done = 0;
        progress.total = file.size;
        return !(sizeKnown && file.size > maxBytes);
    };
    if (!learn(facts)) {
        tooLarge = true;
        return false;
    }
    uint64_t received = 0;
    for (bool continued = false;; continued = true) {
        const BodyRead read = sink.read(connection, maxBytes);
        received += read.bytes;
        tooLarge = read.tooLarge;
        if (read.failed || read.tooLarge || (sizeKnown && received > file.size)) {
            return false;
        }
        // A connection cut off mid-body can end like a complete body (a read of 0 bytes): only the announced length
        // tells them apart, and all of it is the whole file even when the read after its last byte failed or found
        // the body too slow. Without a length there is nothing to compare with.
        if (sizeKnown ? received == file.size : read.ended) {
            file.size = received;
            return true;
        }
        if (!TakeContinuation(file, read, continued)) {
            return false;
        }
        ResponseFacts answer;
        const std::wstring range = L"bytes=" + std::to_wstring(received) + L"-";
        if (!OpenRequest(file.url, RangeHeaders(range, file.validator), stallMs, connection, answer)) {
            return false;
        }
        uint64_t first = 0;
        uint64_t end = 0;
        uint64_t total = 0;
        if (answer.status == HTTP_STATUS_PARTIAL_CONTENT) {
            if (!IsAskedPart(file, answer, first, end, total) || first != received || end != total - 1 ||
                total > maxBytes) {
                return false;
            }
            sizeKnown = true;
            file.size = total;
            progress.total = total;
            continue;
        }
        // The file changed on the mirror (or ranges are not served here): its whole new body follows.
        if (answer.status != HTTP_STATUS_OK) {
            return false;
        }
        if (!learn(answer)) {
            tooLarge = true;
            return false;
        }
        if (!sink.restart()) {
            return false;
        }
        received = 0;
    }
}

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
