#include "pack/pack.h"

#include "archive/archive.h"

#include <miniz.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

namespace {

// What the updater accepts, and the answers it gives otherwise.
// Unpacked data beyond this many times the package size is more likely a mistake (or a bomb) than libraries.
const uint64_t SUSPICIOUS_EXPANSION = 100;

struct ZipReaderEnder {
    void operator()(mz_zip_archive* zip) const { mz_zip_reader_end(zip); }
};
using OpenZip = std::unique_ptr<mz_zip_archive, ZipReaderEnder>;

std::string Entry(mz_uint index)
{
    return "entry " + std::to_string(index);
}

// Windows compares names case-insensitively; this folds the letters a package plausibly holds (ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic), which is where two spellings of one name come from in practice.
wchar_t FoldCase(wchar_t c)
{
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) ||
        (c >= 0x430 && c <= 0x44F)) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<wchar_t>(c - 0x50);
    }
    if (c >= 0x100 && c <= 0x17F && (c & 1) != 0 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        return static_cast<wchar_t>(c - 1);
    }
    return c;
}

std::wstring Folded(const std::wstring& path)
{
    std::wstring folded = path;
    std::transform(folded.begin(), folded.end(), folded.begin(), FoldCase);
    return folded;
}

// True when the top-level file would be copied beside the game: "bass*.dll", compared as Windows does.
bool IsBassLibrary(const std::wstring& path)
{
    const std::wstring folded = Folded(path);
    return folded.find(L'\\') == std::wstring::npos && folded.size() >= 8 && folded.compare(0, 4, L"BASS") == 0 &&
           folded.compare(folded.size() - 4, 4, L".DLL") == 0;
}

size_t CountingCallback(void* opaque, uint64_t, const void*, size_t length)
{
    *static_cast<uint64_t*>(opaque) += length;
    return length;
}

// The library stores no code when inflate meets corrupt or cut-short data; the updater calls such an entry corrupt.
std::string EntryFailureText(mz_zip_archive* zip)
{
    const mz_zip_error error = mz_zip_get_last_error(zip);
    return mz_zip_get_error_string(error == MZ_ZIP_NO_ERROR ? MZ_ZIP_DECOMPRESSION_FAILED : error);
}

bool ReadPackage(const std::filesystem::path& package, std::string& bytes, Findings& findings)
{
    std::ifstream in(package, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(package, error);
    if (!in || error) {
        findings.errors.push_back("cannot open zip file " + PathToUtf8(package));
        return false;
    }
    if (size == 0 || size > PACKAGE_MAX_BYTES) {
        findings.errors.push_back("zip file is empty or unreasonably large (" + std::to_string(size) +
                                  " bytes; the updater takes 1 to 1073741824)");
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (!in.read(&bytes[0], static_cast<std::streamsize>(size))) {
        findings.errors.push_back("failed reading zip file " + PathToUtf8(package));
        return false;
    }
    return true;
}

struct SeenPath {
    mz_uint index;
    std::wstring path;
    bool folder;
};

// Names that Windows takes for one: the later file overwrites the earlier one, and a file where a folder is needed
// (or the reverse) fails the updater. An entry's folders were remembered as folders when an earlier entry needed them.
void CheckCollisions(const std::map<std::wstring, SeenPath>& seen, const SeenPath& entry, Findings& findings)
{
    const std::wstring key = Folded(entry.path);
    const std::string shown = Entry(entry.index) + ": lib\\" + Printable(entry.path);
    const auto same = seen.find(key);
    if (same != seen.end() && !entry.folder) {
        const std::string other = Entry(same->second.index) + " (lib\\" + Printable(same->second.path) + ")";
        if (same->second.folder) {
            findings.errors.push_back(shown + " is a file where " + other + " needs a folder");
        } else {
            findings.warnings.push_back(shown + " and " + other + " are one file on Windows; the later one wins");
        }
    }
    for (size_t at = key.find(L'\\'); at != std::wstring::npos; at = key.find(L'\\', at + 1)) {
        const auto file = seen.find(key.substr(0, at));
        if (file != seen.end() && !file->second.folder) {
            findings.errors.push_back(shown + " needs a folder where " + Entry(file->second.index) +
                                      " wrote the file lib\\" + Printable(file->second.path));
        }
    }
}

void Remember(std::map<std::wstring, SeenPath>& seen, const SeenPath& entry)
{
    const std::wstring key = Folded(entry.path);
    for (size_t at = key.find(L'\\'); at != std::wstring::npos; at = key.find(L'\\', at + 1)) {
        seen.emplace(key.substr(0, at), SeenPath{entry.index, entry.path.substr(0, at), true});
    }
    if (entry.folder) {
        seen.emplace(key, entry);
    } else {
        seen[key] = entry;
    }
}

void CheckEntries(mz_zip_archive* zip, uint64_t packageSize, Findings& findings)
{
    const mz_uint count = mz_zip_reader_get_num_files(zip);
    if (count == 0) {
        findings.errors.push_back("zip archive is empty");
        return;
    }
    std::printf("%5s %12s  %s\n", "entry", "bytes", "name -> path below lib");
    std::map<std::wstring, SeenPath> seen;
    bool bassLibrary = false;
    uint64_t unpacked = 0;
    for (mz_uint i = 0; i < count; ++i) {
        mz_zip_archive_file_stat stat;
        std::memset(&stat, 0, sizeof(stat));
        if (!mz_zip_reader_file_stat(zip, i, &stat)) {
            findings.errors.push_back("cannot read zip entry " + std::to_string(i) + ": " +
                                      mz_zip_get_error_string(mz_zip_get_last_error(zip)));
            continue;
        }
        // The updater's own reading: every stored byte up to the stat's 511, its code-page decision, '\'.
        char stored[MZ_ZIP_MAX_ARCHIVE_FILENAME_SIZE];
        const mz_uint copied = mz_zip_reader_get_filename(zip, i, stored, sizeof(stored));
        const std::string raw(stored, copied == 0 ? 0 : copied - 1);
        const std::wstring name = DecodeEntryName(raw.data(), raw.size(), stat.m_bit_flag);
        std::wstring path = name;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        // A folder may be marked by its attributes alone, without the trailing separator.
        const bool separatorLast = !path.empty() && path.back() == L'\\';
        const bool folder = stat.m_is_directory || separatorLast;
        std::printf("%5u %12s  %s -> lib\\%s\n", i, folder ? "folder" : std::to_string(stat.m_uncomp_size).c_str(),
                    Printable(name).c_str(), Printable(path).c_str());

        if (!IsSafeEntryName(path)) {
            findings.errors.push_back("unsafe path in zip entry " + std::to_string(i));
            continue;
        }
        if ((stat.m_bit_flag & UTF8_NAME_FLAG) == 0 && !IsAscii(raw)) {
            findings.warnings.push_back(Entry(i) +
                                        ": a non-ASCII name without the UTF-8 flag is read as code page "
                                        "437: \"" +
                                        Printable(name) + "\"; as UTF-8 it would read \"" +
                                        Printable(DecodeUtf8(raw.data(), raw.size())) + "\"");
        }
        const size_t errorsBefore = findings.errors.size();
        // The updater ignores a folder it cannot create and fails on the first file that needs it.
        Findings folderFindings;
        CheckWindowsPath(path, Entry(i), folder ? folderFindings : findings);
        for (const std::string& error : folderFindings.errors) {
            findings.warnings.push_back(error + " (a folder entry: the updater skips it)");
        }
        findings.warnings.insert(findings.warnings.end(), folderFindings.warnings.begin(),
                                 folderFindings.warnings.end());
        const SeenPath entry{i, separatorLast ? path.substr(0, path.size() - 1) : path, folder};
        CheckCollisions(seen, entry, findings);
        Remember(seen, entry);
        if (folder || findings.errors.size() != errorsBefore) {
            continue;
        }
        bassLibrary = bassLibrary || IsBassLibrary(path);
        // Decoded in full, as the updater does, so that the CRC and the sizes are checked too.
        uint64_t delivered = 0;
        mz_zip_get_last_error(zip);
        if (!mz_zip_reader_extract_to_callback(zip, i, CountingCallback, &delivered, 0)) {
            findings.errors.push_back(Entry(i) + ": failed extracting " + Printable(path) + ": " +
                                      EntryFailureText(zip));
        }
        unpacked += delivered;
    }
    if (!bassLibrary) {
        findings.warnings.push_back("no bass*.dll at the top level: the updater copies nothing beside the game");
    }
    if (unpacked > packageSize * SUSPICIOUS_EXPANSION) {
        findings.warnings.push_back("the package unpacks to " + std::to_string(unpacked) + " bytes, over " +
                                    std::to_string(SUSPICIOUS_EXPANSION) + " times its own size");
    }
}

} // namespace

void CheckPackage(const std::filesystem::path& package, Findings& findings)
{
    std::string bytes;
    if (!ReadPackage(package, bytes, findings)) {
        return;
    }
    std::printf("package %s: %zu bytes\n", PathToUtf8(package).c_str(), bytes.size());
    mz_zip_archive zip;
    std::memset(&zip, 0, sizeof(zip));
    if (!mz_zip_reader_init_mem(&zip, bytes.data(), bytes.size(), 0)) {
        findings.errors.push_back(std::string("not a valid zip archive: ") +
                                  mz_zip_get_error_string(mz_zip_get_last_error(&zip)));
        return;
    }
    // Declared after the bytes, so the archive is ended before the bytes it reads are freed.
    OpenZip opened(&zip);
    CheckEntries(&zip, bytes.size(), findings);
}

int ReportFindings(const Findings& findings, bool strict)
{
    for (const std::string& error : findings.errors) {
        std::printf("error: %s\n", error.c_str());
    }
    for (const std::string& warning : findings.warnings) {
        std::printf("warning: %s\n", warning.c_str());
    }
    const std::string counts = std::to_string(findings.errors.size()) + " error(s), " +
                               std::to_string(findings.warnings.size()) + " warning(s)";
    if (!findings.errors.empty()) {
        std::printf("FAILED: a player's updater would fail (%s)\n", counts.c_str());
        return 1;
    }
    if (strict && !findings.warnings.empty()) {
        std::printf("FAILED: warnings are errors with --strict (%s)\n", counts.c_str());
        return 1;
    }
    std::printf("OK: a player's updater installs this (%s)\n", counts.c_str());
    return 0;
}
