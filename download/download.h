#pragma once

#include "fs/fs.h"

#include <windows.h>

#include <string>

// The primary and the fallback mirror, tried in this order; both end in "vorlance/". Set at build time from the
// CMake cache variables UPDATER_PRIMARY_BASE_URL and UPDATER_FALLBACK_BASE_URL.
extern const wchar_t* const VORLANCE_HOSTS[2];

// Fetches base URL + fileName from the first mirror of VORLANCE_HOSTS that serves it whole, writing it to
// destinationPath and posting progress to window. A failed attempt never leaves a partial file. Throws std::bad_alloc.
bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window);

// As DownloadAny; when it fails, refusedError holds the code with which Windows last refused to create
// destinationPath after a mirror had answered (0 when no mirror got that far). With expectedDigest, a whole transfer whose SHA-256 differs from it is a failed attempt at that
// mirror: the file is deleted and the next mirror is tried. A null expectedDigest checks nothing. Throws
// std::bad_alloc.
bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window,
                 const Sha256Digest* expectedDigest, DWORD& refusedError);

// The same transfer over any list of base URLs, tried in order; DownloadAny passes VORLANCE_HOSTS.
bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window);
bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, const Sha256Digest* expectedDigest,
                         DWORD& refusedError);

// True for the codes with which a folder refuses new files whatever is tried again: access denied, write-protected
// media, a share that denies access.
bool IsWriteRefusal(unsigned long errorCode);
