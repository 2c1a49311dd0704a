#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/zipreader/zip_reader.h"
#include "fs/fs.h"

// Entry names, on every platform: the package tool and the fuzzers build this part natively. A name is UTF-16 text
// held one code unit per wchar_t, also where wchar_t is 32 bits wide, so that it reads as the updater's does.

// UTF-16 of UTF-8 bytes, as Windows converts them: each maximal invalid subsequence becomes one U+FFFD.
std::wstring DecodeUtf8(const char* bytes, size_t length);

// UTF-16 of bytes in code page 437, what zip tools wrote before names carried the UTF-8 flag.
std::wstring DecodeCodePage437(const char* bytes, size_t length);

// The updater's reading of a stored entry name (all length bytes, NULs included): UTF-8 when bitFlag carries the
// UTF-8 name flag (0x0800), else code page 437. Separators are left as stored.
std::wstring DecodeEntryName(const char* stored, size_t length, uint16_t bitFlag);

// UTF-8 form of UTF-16 text; an unpaired surrogate becomes U+FFFD, as on Windows.
std::string WideToUtf8(const std::wstring& text);

// How the updater reads a package, shared by the updater, the package tool and the checksum list, so that they
// cannot disagree: the names, the paths below lib, what Windows cannot create there, the limits. Defined in
// package_rules.cpp (names), fold_case.cpp (case) and package_scan.cpp (packages).

// The largest package the updater unpacks.
const uint64_t PACKAGE_MAX_BYTES = 0x40000000; // 1 GiB
// Why a package of 0 bytes or over PACKAGE_MAX_BYTES is refused.
const char PACKAGE_SIZE_REFUSAL[] = "zip file is empty or unreasonably large";
// A downloaded game of this size or less is a broken download or an error page.
const uint64_t IMPLAUSIBLE_GAME_MAX_BYTES = 100000;

// True when a game executable of this many bytes is large enough to be the game.
bool IsPlausibleGameSize(uint64_t bytes);

// The updater's two marks at the top of a library folder. A package file or folder of either name would be taken
// for the mark, and the library check never counts it, so its list line could never match.
const wchar_t LIBRARY_COMPLETE_MARK_NAME[] = L"vorlance-updater-complete.txt";
const wchar_t LIBRARY_INCOMPLETE_MARK_NAME[] = L"vorlance-updater-incomplete.txt";

// True for either mark name in any letter case, compared as NTFS compares names.
bool IsMarkFileName(const std::wstring& name);

// True when an entry name (backslash-separated) stays below the target directory: not empty, no ':', no NUL, no
// leading separator, no ".." component.
bool IsSafeEntryName(const std::wstring& entryName);

// A control character Windows refuses in a file name: C0 (U+0001 to U+001F). DEL and C1 are ordinary characters to
// Windows, which creates such names.
bool IsControlCharacter(wchar_t c);

// Why Windows cannot create a name component below an extended-length path (empty, a control character, one of
// < > " | ? *, over 255 UTF-16 units), with the error code it gives in error; nullptr when it can.
const char* RefusedComponent(const std::wstring& component, uint32_t& error);

// The path an entry name ('/' or '\' separators) is written to below lib: '\' separators, "." components dropped
// as Windows' own path handling drops them, no trailing separator. Empty for a name that names lib itself ("./").
// False for a name that IsSafeEntryName refuses.
bool LibraryPathOf(const std::wstring& entryName, std::wstring& path);

// NTFS's case-insensitive view of a name: each UTF-16 unit as the upcase table of a volume Windows formatted maps
// it (fold_case.cpp), so that two names are one file on the player's disk exactly when their folded forms are equal.
wchar_t FoldCase(wchar_t c);
std::wstring FoldCase(const std::wstring& text);

// One entry as the updater treats it.
struct PackageEntry {
    std::string storedName;       // the stored bytes, cut at 511 as the updater reads them
    uint16_t bitFlag = 0;         // general-purpose bits: UTF8_NAME_FLAG tells how storedName was decoded
    std::wstring name;            // the decoded name, separators as stored
    std::wstring path;            // below lib as LibraryPathOf makes it; empty for lib itself
    std::wstring diskPath;        // path as the disk spells it: an existing file or folder keeps its first spelling
    bool folder = false;          // a folder entry: the name ends in a separator, or the library's folder flag
    bool skipped = false;         // a folder entry the updater does not create: lib itself, or Windows refuses it
    bool symbolicLink = false;    // a Unix symbolic link, which the updater writes as a file holding the target
    uint64_t size = 0;            // uncompressed bytes
    std::string refusal;          // the updater's failure text for this entry; empty when it writes the entry
    uint32_t windowsError = 0;    // the Windows error code the refusal carries, if any
    bool refusedData = false;     // the refusal is the zip library's, about the entry's data rather than its name
    const char* reason = nullptr; // for a name Windows refuses (RefusedComponent), or a skipped folder's reason
    uint32_t clash = NO_ENTRY;    // the earlier entry this one meets: the file it overwrites or runs through, or
                                  // the folder it cannot replace
    static const uint32_t NO_ENTRY = 0xFFFFFFFF;
};

// General-purpose bit 11: the stored name is UTF-8.
const uint16_t UTF8_NAME_FLAG = 0x0800;

// Closes a zip library reader; the holder of an opened archive.
struct ZipReaderEnder {
    void operator()(mz_zip_archive* zip) const;
};
using OpenZip = std::unique_ptr<mz_zip_archive, ZipReaderEnder>;

// Opens an image with the zip library. False with "not a valid zip archive: " or "zip archive is empty".
bool OpenZipImage(const void* bytes, size_t size, mz_zip_archive& zip, std::string& message);

// Why the library failed an entry: its last error, where a missing one means corrupt data.
std::string EntryFailureText(mz_zip_archive* zip);

// Judges every entry of an opened archive in order as the updater would meet it, without inflating anything: the
// names, what Windows cannot create below lib, files and folders that clash (case-insensitively), encryption and
// method, local headers and data bounds. An entry after a refused one is judged as if the refused one were not
// there. For a directory of D bytes (46 per entry and its name) it holds under 33 D: the entries (248 bytes and
// about 10 per name byte), the records (96 bytes and the name), and what earlier entries made, one 16-byte node per
// file or folder (at most one per two name bytes) in a table of at most 6 four-byte slots per node. Throws
// std::bad_alloc.
std::vector<PackageEntry> ScanPackage(mz_zip_archive* zip);

// What an entry's central record says, as the zip library's statistics read it: all the package rules need to judge
// the entry without its data.
struct EntryRecord {
    std::string storedName; // the stored bytes, cut at 511
    std::string unreadable; // the library's text when the record cannot be read; empty when it can
    bool directory = false; // the name ends in '/' or the DOS folder attribute is set
    uint16_t versionMadeBy = 0;
    uint16_t bitFlag = 0;
    uint16_t method = 0;
    uint32_t externalAttributes = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
};

// The refusal (without the "failed extracting" prefix) of what a record alone shows about a file's data: an
// unsupported method, then encryption, as the library checks them before it reads the data; empty when none.
std::string RecordDataRefusal(const EntryRecord& record);

// The refusal (without the prefix) of a stored file whose two sizes differ: stored data is handed out as it lies, so
// such an entry fails whatever its bytes; empty otherwise.
std::string StoredSizeRefusal(const EntryRecord& record);

// Judges a file entry's data once its name and path pass: the full refusal text, or empty.
using DataRefusal = std::function<std::string(size_t index, const EntryRecord& record, const PackageEntry& entry)>;

// Judges entries in order by their records as ScanPackage does (names, paths below lib, clashes), asking refuseData
// about each file entry whose name passes. Throws std::bad_alloc.
std::vector<PackageEntry> JudgeEntries(const std::vector<EntryRecord>& records, const DataRefusal& refuseData);

// Reading a package by byte ranges (package_ranges.cpp, package_span.cpp): the end records, the central directory
// and each entry's bytes arrive separately and are judged by the rules the whole package is judged by, with the same
// refusal texts.

// The last bytes of a package that hold its end record wherever the library would find it (behind a comment of up
// to 65535 bytes and some appended junk), the zip64 locator before it and the zip64 end record a writer puts there.
const size_t PACKAGE_TAIL_BYTES = 69584 + 20 + 56;
// What is read of a package's end first: its end records when no long comment follows them, so that a small release
// costs little more than its changed entries and its directory. Only when they are not in it are the
// PACKAGE_TAIL_BYTES read.
const size_t PACKAGE_SHORT_TAIL_BYTES = 4096;

// Where a package's central directory lies.
struct PackageDirectoryLocation {
    uint64_t fileSize = 0;
    uint64_t offset = 0; // of the directory's first byte in the package
    uint64_t size = 0;   // the directory's bytes
    uint64_t entryCount = 0;
    uint32_t disk = 0;         // the number of the disk the records name as this one (0, or 1 from some writers)
    uint64_t missingBytes = 0; // the directory's first bytes the tail does not hold, still to be fetched
};

// From the last bytes of a package (tail, whose first byte is at fileSize - tail.size), finds the end records (zip64
// included) and where the central directory lies. False with the whole-package check's text, or why the tail
// cannot tell (the zip64 end record lies before it). A tail shorter than PACKAGE_TAIL_BYTES (and than the file)
// finds the end record the library would find when it holds it; when it does not, the answer is false and only a
// longer tail can tell.
bool LocatePackageDirectory(const MemoryImage& tail, uint64_t fileSize, PackageDirectoryLocation& location,
                            std::string& reason);

// The directory's bytes: the missingBytes fetched from location.offset, then what the tail holds. Throws
// std::bad_alloc.
MemoryImage JoinPackageDirectory(const MemoryImage& tail, const PackageDirectoryLocation& location,
                                 const unsigned char* fetched);

// One entry of a package read by ranges.
struct RangedEntry {
    std::wstring path; // below lib as the disk spells it ("" for folders), as the checksum list names it
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localHeaderOffset = 0;
    // The bytes to fetch for it: its local header, name, extra field and data. The local header's own name and extra
    // lengths are known only once fetched, so the span runs to the next entry (or the directory), within an allowance.
    uint64_t spanOffset = 0;
    uint64_t spanLength = 0;
};

// Parses the central directory bytes and judges every entry by the package rules, as the whole-package check does
// (refused names, clashes, method, encryption); false with the same refusal text. What only the local header shows
// is left to UnpackEntrySpan. Throws std::bad_alloc.
bool ReadPackageDirectory(const MemoryImage& directory, const PackageDirectoryLocation& location,
                          std::vector<RangedEntry>& entries, std::string& reason);

// Given the fetched bytes that start at entry.spanOffset, checks the local header and where the data lies, and
// unpacks the entry (stored or deflated), checking its size and CRC-32; false with extraction's text. Throws
// std::bad_alloc.
bool UnpackEntrySpan(const RangedEntry& entry, const uint8_t* span, size_t spanSize, std::vector<uint8_t>& data,
                     std::string& reason);

// The same unpacking while the span's bytes arrive, in pieces of any size (package_stream.cpp): the unpacked bytes
// go to output piece by piece, and nothing held grows with the entry. The checks, their order and their texts are
// UnpackEntrySpan's; the entry stops at the first byte past its claimed size, and never takes more input than its
// compressed size.

// Takes the next unpacked bytes of an entry; false stops it.
using EntryOutput = std::function<bool(const uint8_t* bytes, size_t size)>;

struct EntryStreamState;
struct EntryStreamEnder {
    void operator()(EntryStreamState* state) const;
};
using EntryStream = std::unique_ptr<EntryStreamState, EntryStreamEnder>;

// Starts unpacking entry, whose span (spanSize bytes from its local header on) is about to arrive. Throws
// std::bad_alloc.
EntryStream StartEntryStream(const RangedEntry& entry, uint64_t spanSize, const EntryOutput& output);

// Takes the span's next bytes; used tells how many: fewer than size once the entry has its data (the rest of the span
// is not its own). False with extraction's text when the entry is refused or output stopped it; it then takes
// nothing more. Throws std::bad_alloc.
bool FeedEntryStream(EntryStreamState& stream, const uint8_t* bytes, size_t size, size_t& used, std::string& reason);

// True once the entry takes no more bytes: its data is all there, or it was refused.
bool EntryStreamEnded(const EntryStreamState& stream);

// After the span's bytes: true when the entry was unpacked whole, with its claimed size and CRC-32; false with
// extraction's text.
bool FinishEntryStream(const EntryStreamState& stream, std::string& reason);

#ifdef _WIN32

#include "fs/fs.h"

#include <windows.h>

// Unpacks a zip archive (at most 1 GiB) below targetDirectory, deflated entries on a pool of threads; the files,
// the progress posted per entry and the failure reported are those of unpacking in central-directory order. Returns
// false at the first failure with a one-line UTF-8 reason in message. Throws std::bad_alloc.
bool ExtractZip(const std::wstring& archivePath, const std::wstring& targetDirectory, HWND window,
                std::string& message);

// A whole archive in memory; the zip library reads this image, never a file.
using ZipImage = MemoryImage;

// Reads an archive file of 1 byte to 1 GiB into image. False with ExtractZip's reason in message. Throws
// std::bad_alloc.
bool ReadZipImage(const std::wstring& archivePath, ZipImage& image, std::string& message);

// Checks, without unpacking, everything extraction would refuse other than damaged data (CRC, inflate) and the
// disk: the zip library accepts the image, it holds entries, and ScanPackage finds no refusal. False with the text
// extraction would give for the first refused entry. Writes nothing. Throws std::bad_alloc.
bool CheckZipImage(const ZipImage& image, std::string& message);

// The bytes unpacking an image takes on a volume whose clusters hold clusterBytes: each file entry's size rounded up
// to whole clusters, and recordBytes for every entry (file or folder) besides. UINT64_MAX when the image cannot be
// read. Throws std::bad_alloc.
uint64_t PackageDiskBytes(const ZipImage& image, uint64_t clusterBytes, uint64_t recordBytes);

// Unpacks an image below targetDirectory exactly as ExtractZip does. Throws std::bad_alloc.
bool ExtractZipImage(const ZipImage& image, const std::wstring& targetDirectory, HWND window, std::string& message);

// Creates the directories that lead to entryName below root ("a\b\c.dll" creates root\a and root\a\b), skipping
// those already in created and adding the others; those it newly made are added to made, when given. Throws
// std::bad_alloc.
void ZipCreateParentDirs(const std::wstring& root, const std::wstring& entryName, std::set<std::wstring>& created,
                         std::vector<std::wstring>* made = nullptr);

#endif
