#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

// Entry names, on every platform: the package tool and the fuzzers build this part natively. A name is UTF-16 text
// held one code unit per wchar_t, also where wchar_t is 32 bits wide, so that it reads as the updater's does.

// The largest package the updater unpacks.
const uint64_t PACKAGE_MAX_BYTES = 0x40000000; // 1 GiB

// UTF-16 of UTF-8 bytes, as Windows converts them: each maximal invalid subsequence becomes one U+FFFD.
std::wstring DecodeUtf8(const char* bytes, size_t length);

// UTF-16 of bytes in code page 437, what zip tools wrote before names carried the UTF-8 flag.
std::wstring DecodeCodePage437(const char* bytes, size_t length);

// The updater's reading of a stored entry name (all length bytes, NULs included): UTF-8 when bitFlag carries the
// UTF-8 name flag (0x0800), else code page 437. Separators are left as stored.
std::wstring DecodeEntryName(const char* stored, size_t length, uint16_t bitFlag);

// True when an entry name (backslash-separated) stays below the target directory: not empty, no ':', no NUL, no
// leading separator, no ".." component.
bool IsSafeEntryName(const std::wstring& entryName);

// UTF-8 form of UTF-16 text; an unpaired surrogate becomes U+FFFD, as on Windows.
std::string WideToUtf8(const std::wstring& text);

#ifdef _WIN32

#include "fs/fs.h"

#include <windows.h>

// Unpacks a zip archive (at most 1 GiB) below targetDirectory in central-directory order, posting progress per
// entry. Returns false at the first failure with a one-line UTF-8 reason in message. Throws std::bad_alloc.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& targetDirectory, HWND window,
                std::string& message);

// A whole archive in memory; the zip library reads this image, never a file.
using ZipImage = MemoryImage;

// Reads an archive file of 1 byte to 1 GiB into image. False with ExtractZip's reason in message. Throws
// std::bad_alloc.
bool ReadZipImage(const std::wstring& archivePath, ZipImage& image, std::string& message);

// Checks what can be checked without unpacking: the zip library accepts the image, it holds entries, every name
// passes IsSafeEntryName, no entry is encrypted or packed by an unsupported method. False with the reason extraction
// would give for the first such entry. unpackedBytes receives what the files unpack to. Writes nothing. Throws
// std::bad_alloc.
bool CheckZipImage(const ZipImage& image, uint64_t& unpackedBytes, std::string& message);

// Unpacks an image below targetDirectory exactly as ExtractZip does. Throws std::bad_alloc.
bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message);

// A thread that writes the files of one extraction while the zip library decodes the next piece, with the few
// buffers it writes from. Defined in zip_write.cpp.
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

// Creates the directories that lead to entryName below root ("a\b\c.dll" creates root\a and root\a\b), skipping
// those already in created and adding the others. Throws std::bad_alloc.
void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName, std::set<std::wstring>& created);

#endif
