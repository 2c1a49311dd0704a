#pragma once

#include "download/download.h"

#include <wininet.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// What the file, memory and range transfers share; not part of the subsystem's surface.

const DWORD READ_BUFFER_BYTES = 65536;

struct InternetCloser {
    void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

// The low-speed limit's current window over one request.
struct SpeedWindow {
    DWORD lengthMs = STALL_MS;
    ULONGLONG start = 0; // GetTickCount64
    uint64_t bytes = 0;  // of the body, since start
};

// One request's handle, closed before the next request of its transfer is opened; the request's session belongs to
// the run (MirrorSession).
struct Connection {
    InternetHandle request;
    SpeedWindow window;
};

// The run's session with the mirror at scheme, host and port, opened by its first request and kept open until
// CloseMirrorSessions, so that the mirror's requests share one kept connection; null when it cannot be opened. Throws
// std::bad_alloc.
HINTERNET MirrorSession(INTERNET_SCHEME scheme, const std::wstring& host, INTERNET_PORT port);

// What a response says about its body.
struct ResponseFacts {
    DWORD status = 0;
    bool hasLength = false;
    uint64_t length = 0;      // Content-Length, when hasLength
    std::string contentRange; // as sent, empty without one
    std::string validator;    // a strong ETag, else a strong Last-Modified, else empty
};

// Sends a GET for url with extraHeaders ("Name: value\r\n" lines, may be empty), on a request handle whose receive
// timeout is stallMs, and reads the answer's facts; the low-speed window, stallMs long, starts as it is sent. False
// when no answer came; redirects are followed.
bool OpenRequest(const std::wstring& url, const std::wstring& extraHeaders, DWORD stallMs, Connection& connection,
                 ResponseFacts& facts);

// The request headers for a range such as L"bytes=10-19", L"bytes=10-" or L"bytes=-10", with If-Range when a
// validator is known.
std::wstring RangeHeaders(const std::wstring& range, const std::string& validator);

// A Content-Range "bytes FIRST-LAST/TOTAL"; false for any other form, "*" included.
bool ParseContentRange(const std::string& text, uint64_t& first, uint64_t& last, uint64_t& total);

// Adds bytes to the progress and posts its percentage (capped at 100) once it differs from the one posted last.
void AddProgress(TransferProgress& progress, uint64_t bytes);

// Reads the body of connection's request into buffer until size bytes came or the body ended (ended set). False when
// a read failed or the body fell below the low-speed limit; bytesRead then counts what came before.
bool ReadBlock(Connection& connection, unsigned char* buffer, DWORD size, DWORD& bytesRead, bool& ended);

// How one response's body went into its destination.
struct BodyRead {
    uint64_t bytes = 0;    // taken from this response
    bool ended = false;    // the body ended (a read of 0 bytes) without a failed read
    bool failed = false;   // the bytes could not be kept (a write, a hash, memory): no continuation helps
    bool tooLarge = false; // more bytes came than the destination takes
};

// Where a whole file goes across its responses: read appends one response's body (at most limit bytes in all),
// restart drops everything taken so far because the whole new file follows.
struct BodySink {
    std::function<BodyRead(Connection& connection, uint64_t limit)> read;
    std::function<bool()> restart;
};

// A 206 is the part asked for only when it names a range of the file known so far: the same total size (when known),
// and no other validator than the one sent; first, last and total are its Content-Range.
bool IsAskedPart(const RemoteFile& file, const ResponseFacts& answer, uint64_t& first, uint64_t& last, uint64_t& total);

// Whether a body cut short may be continued at the same mirror, taking one of the file's continuations: some left,
// a validator to send with If-Range, and new bytes when the cut read was itself a continuation's (continued).
bool TakeContinuation(RemoteFile& file, const BodyRead& read, bool continued);

// Reads a whole file whose first answer (200, facts) is open in connection into sink, continuing a cut body at the
// same URL while the file's continuations last; learns file.size and file.validator. True when every byte came (all
// of an announced length, or a body without one that ended); tooLarge when the file is past maxBytes.
bool ReadWholeFile(RemoteFile& file, Connection& connection, const ResponseFacts& facts, uint64_t maxBytes,
                   TransferProgress& progress, DWORD stallMs, const BodySink& sink, bool& tooLarge);

// Bytes kept in memory as they arrive: address space for the whole limit is reserved with the first byte, and memory
// is committed a bounded step ahead of what came. An announced length costs nothing until its bytes are there, and
// the bytes that came are already the one block a caller gets: nothing is copied to join them.
struct ArrivingBytes {
    DownloadedBytes image; // the reserved region; image.size counts the bytes that came
    size_t reserved = 0;
    size_t committed = 0;
};

// Reads one response's body onto bytes, at most limit bytes in all, posting progress. Throws std::bad_alloc.
BodyRead ReadBodyToMemory(Connection& connection, uint64_t limit, ArrivingBytes& bytes, const Sha256Stream* hash,
                          TransferProgress& progress);

// Reads the whole file a 200 answer (facts) on connection brings into body, continued where it is cut as
// ReadWholeFile does, with expectedDigest (null: any) hashed as the bytes arrive: otherBytes when it differs. Throws
// std::bad_alloc.
bool ReadWholeFileToMemory(RemoteFile& file, Connection& connection, const ResponseFacts& facts, uint64_t maxBytes,
                           const Sha256Digest* expectedDigest, TransferProgress& progress, DWORD stallMs,
                           DownloadedBytes& body, bool& tooLarge, bool& otherBytes);

// Starts the hash of a transfer that must have the listed digest; leaves hash empty (nothing to check) without one.
// False when the system cannot hash.
bool StartListedHash(const Sha256Digest* expectedDigest, Sha256Stream& hash);

// True without a listed digest, or when the finished hash equals it.
bool HasListedDigest(const Sha256Digest* expectedDigest, const Sha256Stream& hash);
