#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zipreader/zip_reader.h"

// How ExtractZip's entry loop writes one entry's file, shared by extract_zip.cpp and zip_write.cpp only (and the
// tests); not part of the archive subsystem's surface. Defined in zip_write.cpp.

// Inflated bytes are gathered into a buffer of this size, so that one write covers many of the library's pieces.
const size_t ZIP_WRITE_BUFFER_BYTES = 0x100000; // 1 MiB

// What the zip library's write callback works on: the destination file of the current entry, and the buffer that
// gathers its bytes (none: every piece is written at once). FinishZipWrites must be called before the file is closed.
struct ZipWriteContext {
    HANDLE file;
    bool ok;
    char* buffer = nullptr; // ZIP_WRITE_BUFFER_BYTES
    size_t filled = 0;
};

// The zip library's write callback: appends the bytes to context->file; returns the count taken, 0 once a write has
// failed.
size_t ZipWriteCallback(void* opaque, uint64_t fileOffset, const void* data, size_t length);

// Writes what the buffer still holds; clears context.ok when any write of the entry failed. Returns context.ok.
bool FinishZipWrites(ZipWriteContext& context);

// Unpacks one file entry to root + path (its folders already made), waiting for a program that holds the file; a
// file the library or the disk fails is deleted. False with the entry's failure text. buffer: as in ZipWriteContext.
// Throws std::bad_alloc.
bool WriteZipEntry(mz_zip_archive* zip, mz_uint index, const std::wstring& root, const std::wstring& path, char* buffer,
                   std::string& message);
