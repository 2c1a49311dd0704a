#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

// The writer behind ExtractZip's entry loop, shared by extract_zip.cpp and zip_write.cpp only (and the tests); not
// part of the archive subsystem's surface. Defined in zip_write.cpp.

// A thread that writes the files of one extraction while the zip library decodes the next piece, with the few
// buffers it writes from.
struct ZipWriter;

struct ZipWriterStopper {
    void operator()(ZipWriter* writer) const;
};
// Stopping waits for what was handed over to be written, ends the thread and frees the buffers.
using ZipWriterHolder = std::unique_ptr<ZipWriter, ZipWriterStopper>;

// What the zip library's write callback works on: the destination file of the current entry. Without a writer the
// bytes are written at once; with one they are gathered and written by its thread, and FinishZipWrites must be
// called before the file is closed.
struct ZipWriteContext {
    HANDLE file;
    bool ok;
    ZipWriter* writer = nullptr;
};

// Starts a writer, or gives an empty holder when no thread can be started; bytes within [image, image + imageSize)
// stay put during the extraction and are written from where they lie rather than copied. Throws std::bad_alloc.
ZipWriterHolder StartZipWriter(const void* image, size_t imageSize);

// The zip library's write callback: appends the bytes to context->file (through context->writer when there is
// one); returns the count taken, 0 once a write has failed.
size_t ZipWriteCallback(void* opaque, uint64_t fileOffset, const void* data, size_t length);

// Writes what the current entry still has in the writer and waits until every byte handed over is on disk; clears
// context.ok when any write of the entry failed. Returns context.ok.
bool FinishZipWrites(ZipWriteContext& context);
