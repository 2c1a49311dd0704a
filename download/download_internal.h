#pragma once

#include "download/download.h"

#include <wininet.h>

#include <cstdint>
#include <memory>
#include <type_traits>

// What the file and the memory transfers share; not part of the subsystem's surface.

const DWORD READ_BUFFER_BYTES = 65536;

struct InternetCloser {
    void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

// Posts the percentage of an announced length (none: nothing) once it differs from the one posted last.
void PostPercent(HWND window, uint64_t received, DWORD contentLength, int& postedPercent);

// Opens url and reads its status; an empty holder unless the server answered 200. The root handle must outlive the
// request.
InternetHandle OpenRequest(const std::wstring& url, InternetHandle& root, DWORD& contentLength);

// Starts the hash of a transfer that must have the listed digest; leaves hash empty (nothing to check) without one.
// False when the system cannot hash.
bool StartListedHash(const Sha256Digest* expectedDigest, Sha256Stream& hash);

// True without a listed digest, or when the finished hash equals it.
bool HasListedDigest(const Sha256Digest* expectedDigest, const Sha256Stream& hash);
