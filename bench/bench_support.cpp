#include "bench/bench_support.h"

#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

double NowSeconds()
{
    LARGE_INTEGER frequency = {};
    LARGE_INTEGER counter = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::vector<std::wstring> ProgramArguments()
{
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; list != nullptr && i < count; ++i) {
        arguments.push_back(list[i]);
    }
    LocalFree(list);
    return arguments;
}

unsigned long long PeakWorkingSetBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return 0;
    }
    return counters.PeakWorkingSetSize;
}

void PrintFigure(const char* key, double value)
{
    std::printf("%s=%.6f\n", key, value);
    std::fflush(stdout);
}

void PrintCount(const char* key, unsigned long long value)
{
    std::printf("%s=%llu\n", key, value);
    std::fflush(stdout);
}

void PrintText(const char* key, const std::wstring& value)
{
    std::string utf8;
    if (!value.empty()) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0, nullptr, nullptr);
        utf8.assign(static_cast<size_t>(size > 0 ? size : 0), '\0');
        if (size > 0) {
            WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), &utf8[0], size, nullptr,
                                nullptr);
        }
    }
    for (char& c : utf8) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    std::printf("%s=%s\n", key, utf8.c_str());
    std::fflush(stdout);
}

int Usage(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
    return 2;
}

unsigned long long ParseCount(const std::wstring& text)
{
    wchar_t* end = nullptr;
    const unsigned long long value = std::wcstoull(text.c_str(), &end, 10);
    return end != nullptr && *end == L'\0' ? value : 0;
}
