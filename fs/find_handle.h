#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

// A directory search that is closed even when building a path inside the walk throws.
struct FindCloser {
    void operator()(HANDLE handle) const { FindClose(handle); }
};
using FindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

// Starts a search; an empty holder when nothing matches or the directory cannot be listed.
inline FindHandle StartFind(const std::wstring& pattern, WIN32_FIND_DATAW& entry)
{
    const HANDLE handle = FindFirstFileW(pattern.c_str(), &entry);
    return FindHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}
