// Times the transfer of files from the benchmark mirror under the same Wine, through the updater's own download code
// and through bare WinINet loops that add one cost at a time:
//
//   bench_download.exe any BASE_URL FILE_NAME DESTINATION
//       the updater's own code (DownloadFromMirrors with a one-entry table) on a worker thread, posting its progress
//       to a window whose thread pumps messages, as in the updater; prints seconds, bytes, progress_posts
//   bench_download.exe bare [--block BYTES] [--to FILE] [--post] URL...
//       a bare WinINet loop that reads each URL into one reused buffer and keeps nothing: what this WinINet can deliver
//       at most; prints seconds and bytes over all URLs. --to also writes every block to FILE; --post also posts a
//       progress message per block to a pumped window, as the updater does. Together they tell the cost of the disk
//       and of the progress reports apart from that of the rest of the updater's code.
#include "bench/bench_support.h"

#include "download/download.h"
#include "status/status.h"

#include <wininet.h>

#include <memory>

namespace {

const wchar_t WINDOW_CLASS[] = L"BenchDownloadWnd";
const UINT WM_BENCH_DONE = WM_APP + 1;
const DWORD OPEN_URL_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
const DWORD DEFAULT_BLOCK_BYTES = 65536;

unsigned long long g_progressPosts = 0;

struct DownloadJob {
    bool bare;                      // the bare loop instead of the updater's code
    std::vector<std::wstring> urls; // bare loop: the URLs; updater: base URL and file name
    std::wstring destination;       // updater: where to; bare loop: empty for "into memory only"
    DWORD blockBytes;
    HWND window; // receives progress when not null
    bool ok;
    double seconds;
    unsigned long long bytes;
};

LRESULT CALLBACK BenchWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_UPDATER_PROGRESS) {
        ++g_progressPosts;
        return 0;
    }
    if (message == WM_BENCH_DONE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

unsigned long long FileSizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Reads one URL to its end into the reused buffer, writing and reporting each block when asked to; false on any
// failure or a body shorter than announced.
bool ReadUrl(const std::wstring& url, unsigned char* buffer, DWORD blockBytes, HANDLE file, HWND window,
             unsigned long long& bytes)
{
    // One root handle per URL, as each download attempt of the updater opens its own.
    const HINTERNET root = InternetOpenW(L"VorlanceBench/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (root == nullptr) {
        return false;
    }
    const HINTERNET request = InternetOpenUrlW(root, url.c_str(), nullptr, 0, OPEN_URL_FLAGS, 0);
    if (request == nullptr) {
        InternetCloseHandle(root);
        return false;
    }
    DWORD status = 0;
    DWORD length = sizeof(status);
    DWORD index = 0;
    HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length, &index);
    DWORD contentLength = 0;
    length = sizeof(contentLength);
    index = 0;
    HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &contentLength, &length, &index);
    bool ok = status == HTTP_STATUS_OK;
    unsigned long long received = 0;
    while (ok) {
        DWORD bytesRead = 0;
        if (!InternetReadFile(request, buffer, blockBytes, &bytesRead)) {
            ok = false;
            break;
        }
        if (bytesRead == 0) {
            break;
        }
        DWORD written = 0;
        if (file != INVALID_HANDLE_VALUE &&
            (!WriteFile(file, buffer, bytesRead, &written, nullptr) || written != bytesRead)) {
            ok = false;
        }
        received += bytesRead;
        if (window != nullptr && contentLength != 0) {
            PostMessageW(window, WM_UPDATER_PROGRESS, static_cast<WPARAM>(received * 100.0 / contentLength), 0);
        }
    }
    InternetCloseHandle(request);
    InternetCloseHandle(root);
    bytes += received;
    return ok && (contentLength == 0 || received == contentLength);
}

void RunBareLoop(DownloadJob& job)
{
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[job.blockBytes]());
    HANDLE file = INVALID_HANDLE_VALUE;
    job.ok = true;
    if (!job.destination.empty()) {
        file = CreateFileW(job.destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        job.ok = file != INVALID_HANDLE_VALUE;
    }
    for (size_t i = 0; i < job.urls.size() && job.ok; ++i) {
        job.ok = ReadUrl(job.urls[i], buffer.get(), job.blockBytes, file, job.window, job.bytes);
    }
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

void RunJob(DownloadJob& job)
{
    const double start = NowSeconds();
    if (job.bare) {
        RunBareLoop(job);
    } else {
        const wchar_t* const baseUrls[1] = {job.urls[0].c_str()};
        DownloadFailure failure;
        job.ok =
            DownloadFromMirrors(baseUrls, 1, job.urls[1], job.destination, job.window, nullptr, FileCheck(), failure);
    }
    job.seconds = NowSeconds() - start;
    if (!job.bare) {
        job.bytes = FileSizeOf(job.destination);
    }
}

DWORD WINAPI JobWorker(LPVOID parameter)
{
    DownloadJob* job = static_cast<DownloadJob*>(parameter);
    RunJob(*job);
    PostMessageW(job->window, WM_BENCH_DONE, 0, 0);
    return 0;
}

// Runs the job on a worker thread while this thread pumps the progress window's messages, as the updater's two
// threads do.
bool RunWithWindow(DownloadJob& job)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = BenchWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WINDOW_CLASS;
    if (RegisterClassW(&windowClass) == 0) {
        return false;
    }
    job.window =
        CreateWindowExW(0, WINDOW_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
    if (job.window == nullptr) {
        return false;
    }
    const HANDLE worker = CreateThread(nullptr, 0, JobWorker, &job, 0, nullptr);
    if (worker == nullptr) {
        return false;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    DestroyWindow(job.window);
    return true;
}

int Report(const DownloadJob& job)
{
    PrintCount("ok", job.ok ? 1 : 0);
    PrintFigure("seconds", job.seconds);
    PrintCount("bytes", job.bytes);
    PrintCount("progress_posts", g_progressPosts);
    return job.ok ? 0 : 1;
}

} // namespace

int main()
{
    const std::vector<std::wstring> arguments = ProgramArguments();
    DownloadJob job = {false, {}, std::wstring(), DEFAULT_BLOCK_BYTES, nullptr, false, 0.0, 0};
    if (arguments.size() == 4 && arguments[0] == L"any") {
        job.urls = {arguments[1], arguments[2]};
        job.destination = arguments[3];
        return RunWithWindow(job) ? Report(job) : Usage("cannot set up the progress window");
    }
    if (arguments.size() >= 2 && arguments[0] == L"bare") {
        job.bare = true;
        bool post = false;
        for (size_t i = 1; i < arguments.size(); ++i) {
            const bool hasValue = i + 1 < arguments.size();
            if (arguments[i] == L"--block" && hasValue) {
                job.blockBytes = static_cast<DWORD>(ParseCount(arguments[++i]));
            } else if (arguments[i] == L"--to" && hasValue) {
                job.destination = arguments[++i];
            } else if (arguments[i] == L"--post") {
                post = true;
            } else {
                job.urls.push_back(arguments[i]);
            }
        }
        if (job.blockBytes == 0 || job.urls.empty()) {
            return Usage("usage: bench_download.exe bare [--block BYTES] [--to FILE] [--post] URL...");
        }
        if (post) {
            return RunWithWindow(job) ? Report(job) : Usage("cannot set up the progress window");
        }
        RunJob(job);
        return Report(job);
    }
    return Usage("usage: bench_download.exe any BASE_URL FILE_NAME DESTINATION | "
                 "bare [--block BYTES] [--to FILE] [--post] URL...");
}
