#pragma once

#include <windows.h>

#include <bcrypt.h>

#include <memory>
#include <string>
#include <type_traits>

// Holders for handles that must be released even when building a path or a text in between throws. They go out of
// scope on early returns; reset() is called only where the release must come before the next step (a file closed
// before it is deleted). INVALID_HANDLE_VALUE is never wrapped.

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// A file, process or snapshot handle.
using KernelHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct FindCloser {
    void operator()(HANDLE handle) const { FindClose(handle); }
};
// A directory search.
using FindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

// Starts a search; an empty holder when nothing matches or the directory cannot be listed.
inline FindHandle StartFind(const std::wstring& pattern, WIN32_FIND_DATAW& entry)
{
    const HANDLE handle = FindFirstFileW(pattern.c_str(), &entry);
    return FindHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { BCryptCloseAlgorithmProvider(algorithm, 0); }
};
// A provider of the system's cryptography.
using AlgorithmHandle = std::unique_ptr<void, AlgorithmCloser>;

struct FileDeleter {
    void operator()(const std::wstring* longPath) const { DeleteFileW(longPath->c_str()); }
};
// A temporary download, named by its extended-length path, deleted on every way out of its scope, a thrown failure
// included. The path is made before the holder, so that the deletion cannot fail for want of memory.
using TemporaryFile = std::unique_ptr<const std::wstring, FileDeleter>;
