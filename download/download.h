#pragma once

#include "fs/fs.h"

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// The primary and the fallback mirror, tried in this order; both end in "vorlance/". Set at build time from the
// CMake cache variables UPDATER_PRIMARY_BASE_URL and UPDATER_FALLBACK_BASE_URL.
extern const wchar_t* const VORLANCE_HOSTS[2];

// A whole response body in memory.
using DownloadedBytes = MemoryImage;

// Why a transfer failed: Windows refused to create the file in an attempt that no later attempt contradicted by
// creating it (refusedError, a Windows error code);
// some mirror served a whole body that the caller's check refused (unusable), or one larger than a memory transfer
// takes (tooLarge), or a whole body without the listed digest (otherBytes). None of these when no mirror served the
// file whole.
struct DownloadFailure {
    DWORD refusedError = 0;
    bool unusable = false;
    bool tooLarge = false;
    bool otherBytes = false;
};

// Judges a whole transfer; false makes it a failed attempt at that mirror, and the next mirror is tried.
using FileCheck = std::function<bool(const std::wstring& path)>;
using BytesCheck = std::function<bool(const DownloadedBytes& body)>;

// Fetches base URL + fileName from the first mirror of VORLANCE_HOSTS that serves it whole, writing it to
// destinationPath and posting progress to window. A failed attempt never leaves a partial file. Takes only a usable
// file: with expectedDigest (null: any), a transfer whose SHA-256 (taken as the bytes are written) differs is a
// failed attempt, and so is one that isUsable (when set) refuses; such a file is deleted and the next mirror is
// tried. When it fails, failure tells why. Throws std::bad_alloc.
bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window,
                 const Sha256Digest* expectedDigest, const FileCheck& isUsable, DownloadFailure& failure);

// The same transfers over any list of base URLs, tried in order; DownloadAny passes VORLANCE_HOSTS.
bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, const Sha256Digest* expectedDigest,
                         const FileCheck& isUsable, DownloadFailure& failure);

// Fetches one URL into memory, nothing on disk, posting progress to window (may be null). False when the server
// does not answer 200 with a whole body of at most maxBytes. Throws std::bad_alloc.
bool DownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, DownloadedBytes& body);

// Fetches base URL + fileName into memory from the first mirror whose whole body, of at most maxBytes, has
// expectedDigest (hashed as it arrives; null: any) and passes isUsable (when set); failure tells why none did.
// Throws std::bad_alloc.
bool DownloadAnyToMemory(const std::wstring& fileName, HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                         const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure);
bool DownloadFromMirrorsToMemory(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                                 HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                                 const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure);
