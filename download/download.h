#pragma once

#include "fs/fs.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The primary and the fallback mirror, tried in this order; both end in "vorlance/". Set at build time from the
// CMake cache variables UPDATER_PRIMARY_BASE_URL and UPDATER_FALLBACK_BASE_URL.
extern const wchar_t* const VORLANCE_HOSTS[2];

// A whole response body in memory.
using DownloadedBytes = MemoryImage;

// No byte for this long is a cut: the transfer is abandoned and continued.
const DWORD STALL_MS = 30000;
// A trickle is cut too: a request whose body brings fewer than LOW_SPEED_BYTES within a window of
// LOW_SPEED_WINDOW_MS, counted from the moment the request is sent (the wait for its headers is inside the first
// window), is abandoned and continued. A transfer's stallMs sets both its receive timeout and this window.
const DWORD LOW_SPEED_BYTES = 1024;
const DWORD LOW_SPEED_WINDOW_MS = STALL_MS;
// Continuations of one file at one mirror in a run, counted across all its requests (RemoteFile carries the count);
// each must bring new bytes, else the next mirror is tried.
const int CONTINUATIONS_PER_MIRROR = 5;
// So a mirror that stalls or trickles holds one file for at most (1 + CONTINUATIONS_PER_MIRROR) requests that are
// cut, each within its connect time C plus 2 * LOW_SPEED_WINDOW_MS (the window, and the one read that outlasts it,
// bounded by the STALL_MS receive timeout): 6 * (C + 60 s), about six minutes past connecting, before the next
// mirror is tried. A request whose headers never come ends after C + STALL_MS and is not continued. A server that
// sends its headers a byte at a time is bounded per byte only: WinINet's blocking send cannot be interrupted.
// The largest file a transfer to disk takes, whatever a mirror announces.
const uint64_t FILE_MAX_BYTES = 1024ull * 1024 * 1024;

// Why a transfer failed: Windows refused to create the file in an attempt that no later attempt contradicted by
// creating it (refusedError, a Windows error code);
// some mirror served a whole body that the caller's check refused (unusable), or one larger than the transfer takes
// (tooLarge), or a whole body without the listed digest (otherBytes). None of these when no mirror served the file
// whole.
struct DownloadFailure {
    DWORD refusedError = 0;
    bool unusable = false;
    bool tooLarge = false;
    bool otherBytes = false;
};

// Judges a whole transfer; false makes it a failed attempt at that mirror, and the next mirror is tried.
using FileCheck = std::function<bool(const std::wstring& path)>;
using BytesCheck = std::function<bool(const DownloadedBytes& body)>;

// Every transfer continues a cut body (a clean close short of its length, a reset, a stall, a trickle) at the same
// mirror with a ranged request that carries If-Range, up to CONTINUATIONS_PER_MIRROR times in all for the file there,
// so that a file replaced on the mirror meanwhile is never spliced: its whole new body is taken instead. Running out
// of memory at one mirror is a failed attempt there.

// Fetches base URL + fileName from the first mirror of VORLANCE_HOSTS that serves it whole, writing it to
// destinationPath and posting progress to window. A failed attempt never leaves a partial file. Takes only a usable
// file of at most maxBytes: with expectedDigest (null: any), a transfer whose SHA-256 (taken as the bytes are written)
// differs is a failed attempt, and so is one that isUsable (when set) refuses; such a file is deleted and the next
// mirror is tried. When it fails, failure tells why.
bool DownloadAny(const std::wstring& fileName, const std::wstring& destinationPath, HWND window,
                 const Sha256Digest* expectedDigest, const FileCheck& isUsable, DownloadFailure& failure);

// The same transfers over any list of base URLs, tried in order; DownloadAny passes VORLANCE_HOSTS.
bool DownloadFromMirrors(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                         const std::wstring& destinationPath, HWND window, const Sha256Digest* expectedDigest,
                         const FileCheck& isUsable, DownloadFailure& failure, uint64_t maxBytes = FILE_MAX_BYTES,
                         DWORD stallMs = STALL_MS);

// Closes the sessions that the transfers keep open with the mirrors, and with them the kept connections; a later
// transfer opens them again. For the end of a run: no transfer may be under way.
void CloseMirrorSessions();

// Fetches one URL into memory, nothing on disk, posting progress to window (may be null). False when no whole body
// of at most maxBytes came, after the answer 200 and its continuations.
bool DownloadToMemory(const std::wstring& url, HWND window, size_t maxBytes, DownloadedBytes& body);

// Fetches base URL + fileName into memory from the first mirror whose whole body, of at most maxBytes, has
// expectedDigest (hashed as it arrives; null: any) and passes isUsable (when set); failure tells why none did.
// Memory grows as bytes arrive, whatever length is announced.
bool DownloadAnyToMemory(const std::wstring& fileName, HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                         const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure);
bool DownloadFromMirrorsToMemory(const wchar_t* const* baseUrls, size_t baseUrlCount, const std::wstring& fileName,
                                 HWND window, size_t maxBytes, const Sha256Digest* expectedDigest,
                                 const BytesCheck& isUsable, DownloadedBytes& body, DownloadFailure& failure);

// One file at one mirror across ranged requests: size and validator are learnt from its first response (size 0 and
// no validator: not yet known); the validator (a strong ETag, else a Last-Modified at least a second older than the
// answer) is then sent as If-Range. continuations counts those taken for the file at this mirror, by every request.
struct RemoteFile {
    std::wstring url;
    uint64_t size = 0;
    std::string validator;
    int continuations = 0;
};

// Progress over bytes that may come in several transfers: percent of total posted to window (may be null) whenever
// it differs from the last one posted.
struct TransferProgress {
    HWND window = nullptr;
    uint64_t done = 0;
    uint64_t total = 0;
    int posted = -1;
};

enum class RangeAnswer { PART, WHOLE_FILE, FAILED };

// Asks for [offset, offset+length) with Range (+ If-Range once a validator is known); continues a cut transfer while
// the file's continuations last. PART: out holds exactly those bytes. WHOLE_FILE: the server answered 200 (no
// ranges, or the file changed: file.size/validator are updated) and out holds the whole new file, when it is at
// most maxWholeBytes (else FAILED); progress then starts again over the whole file. FAILED: error, short, bad
// Content-Range, a validator other than the one sent, a stall or trickle beyond the continuations, or no memory.
RangeAnswer FetchRange(RemoteFile& file, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                       TransferProgress* progress, DownloadedBytes& out, DWORD stallMs = STALL_MS);

// Takes the next bytes of a part, in order; false stops the transfer.
using PartSink = std::function<bool(const uint8_t* bytes, size_t size)>;

// FetchRange with the part's bytes handed to part as they arrive, in pieces of at most 64 KiB, and never held: a
// continuation resumes after the last byte part took. WHOLE_FILE: whole holds the whole new file, as FetchRange's
// out. FAILED also when part returns false. Holds one read buffer, whatever the length.
RangeAnswer FetchRangeTo(RemoteFile& file, uint64_t offset, uint64_t length, size_t maxWholeBytes,
                         TransferProgress* progress, const PartSink& part, DownloadedBytes& whole,
                         DWORD stallMs = STALL_MS);

// The last `length` bytes (Range: bytes=-N), all of a shorter file; learns file.size from Content-Range. Same answers.
RangeAnswer FetchTail(RemoteFile& file, uint64_t length, size_t maxWholeBytes, TransferProgress* progress,
                      DownloadedBytes& out);
