#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

// Unpacks a zip archive (at most 1 GiB) below targetDirectory in central-directory order, posting progress per
// entry. Returns false at the first failure with a one-line UTF-8 reason in message. Throws std::bad_alloc.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& targetDirectory, HWND window,
                std::string& message);

// A whole archive file in memory; the zip library reads this image, never the file.
struct ZipImage {
    std::unique_ptr<unsigned char[]> bytes;
    size_t size = 0;
};

// Reads an archive file of 1 byte to 1 GiB into image. False with ExtractZip's reason in message. Throws
// std::bad_alloc.
bool ReadZipImage(const std::wstring& archivePath, ZipImage& image, std::string& message);

// Checks what can be checked without unpacking: the zip library accepts the image, it holds entries, every name
// passes IsSafeEntryName, no entry is encrypted or packed by an unsupported method. False with the reason extraction
// would give for the first such entry. Writes nothing. Throws std::bad_alloc.
bool CheckZipImage(const ZipImage& image, std::string& message);

// Unpacks an image below targetDirectory exactly as ExtractZip does. Throws std::bad_alloc.
bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message);

// What the zip library's write callback works on: the destination file of the current entry.
struct ZipWriteContext {
    HANDLE file;
    bool ok;
};

// The zip library's write callback: appends the bytes to context->file; returns the count written.
size_t ZipWriteCallback(void* opaque, uint64_t fileOffset, const void* data, size_t length);

// Creates the directories that lead to entryName below root ("a\b\c.dll" creates root\a and root\a\b).
void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName);

// True when an entry name (backslash-separated) stays below the target directory: not empty, no ':', no leading
// separator, no ".." component.
bool IsSafeEntryName(const std::wstring& entryName);

// UTF-8 form of a wide string; empty when the conversion yields nothing.
std::string WideToUtf8(const std::wstring& text);
