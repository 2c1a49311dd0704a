#include "pack/pack.h"

#include "archive/archive.h"

#include "archive/zipreader/zip_reader.h"
#include "fs/fs.h"

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
// What Windows answers for a path that runs through a file.
const uint32_t PATH_THROUGH_FILE_CODE = 3;

std::string Entry(mz_uint index)
{
    return "entry " + std::to_string(index);
}

// True when the top-level file would be copied beside the game: "bass*.dll", compared as Windows does.
bool IsBassLibrary(const std::wstring& path)
{
    const std::wstring folded = FoldCase(path);
    return folded.find(L'\\') == std::wstring::npos && folded.size() >= 8 && folded.compare(0, 4, L"BASS") == 0 &&
           folded.compare(folded.size() - 4, 4, L".DLL") == 0;
}

// True when every run's sweep would delete the file as a leftover of its own: the player loses it, and a library that
// lacks it never matches the release's list, so every run downloads the package again.
bool IsSweptAsLeftover(const PackageEntry& entry)
{
    return !entry.folder && IsAsideName(entry.diskPath.substr(entry.diskPath.rfind(L'\\') + 1));
}

size_t CountingCallback(void* opaque, uint64_t, const void*, size_t length)
{
    *static_cast<uint64_t*>(opaque) += length;
    return length;
}

bool ReadPackage(const std::filesystem::path& package, std::string& bytes, Findings& findings)
{
    std::ifstream in(package, std::ios::binary);
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(package, error);
    if (!in || error) {
        findings.errors.push_back("cannot open it");
        return false;
    }
    if (size == 0 || size > PACKAGE_MAX_BYTES) {
        findings.errors.push_back(std::string(PACKAGE_SIZE_REFUSAL) + " (" + std::to_string(size) +
                                  " bytes; the updater takes 1 to 1073741824)");
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (!in.read(&bytes[0], static_cast<std::streamsize>(size))) {
        findings.errors.push_back("cannot read it");
        return false;
    }
    return true;
}

// The path an entry's line shows below lib: as the disk spells it where the updater writes it, else as named.
std::wstring ListedPath(const PackageEntry& entry)
{
    if (entry.refusal.empty() && !entry.skipped) {
        return entry.folder ? entry.diskPath + L"\\" : entry.diskPath;
    }
    if (!entry.path.empty()) {
        return entry.path;
    }
    std::wstring name = entry.name;
    std::replace(name.begin(), name.end(), L'/', L'\\');
    return entry.refusal.empty() ? std::wstring() : name;
}

// The updater's refusal of an entry, in the studio's words.
std::string RefusalText(const std::vector<PackageEntry>& entries, mz_uint i)
{
    const PackageEntry& entry = entries[i];
    const std::string shown = Entry(i) + ": lib\\" + Printable(entry.path);
    const std::string failed = "failed extracting " + WideToUtf8(entry.path) + ": ";
    if (entry.reason != nullptr) {
        return Entry(i) + ": Windows cannot create lib\\" + Printable(entry.path) + ": " + entry.reason;
    }
    if (entry.refusedData) {
        return Entry(i) + ": failed extracting " + Printable(entry.path) + ": " + entry.refusal.substr(failed.size());
    }
    if (entry.clash != PackageEntry::NO_ENTRY) {
        const PackageEntry& other = entries[entry.clash];
        if (entry.windowsError == PATH_THROUGH_FILE_CODE) {
            return shown + " needs a folder where " + Entry(entry.clash) + " wrote the file lib\\" +
                   Printable(other.diskPath) + " (the updater: " + entry.refusal + ")";
        }
        return shown + " is a file where " + Entry(entry.clash) + " (lib\\" + Printable(other.diskPath) +
               ") needs a folder (the updater: " + entry.refusal + ")";
    }
    return entry.refusal;
}

// What the updater does that the studio probably did not mean, and the names it writes but nothing else on Windows
// can handle.
void WarnAbout(const std::vector<PackageEntry>& entries, mz_uint i, Findings& findings)
{
    const PackageEntry& entry = entries[i];
    if ((entry.bitFlag & UTF8_NAME_FLAG) == 0 && !IsAscii(entry.storedName)) {
        findings.warnings.push_back(Entry(i) +
                                    ": a non-ASCII name without the UTF-8 flag is read as code page 437: \"" +
                                    Printable(entry.name) + "\"; as UTF-8 it would read \"" +
                                    Printable(DecodeUtf8(entry.storedName.data(), entry.storedName.size())) + "\"");
    }
    if (entry.skipped && entry.reason != nullptr && !entry.path.empty()) {
        findings.warnings.push_back(Entry(i) + ": Windows cannot create lib\\" + Printable(entry.path) + ": " +
                                    entry.reason + " (a folder entry: the updater skips it)");
    }
    if (!entry.refusal.empty() || entry.skipped) {
        return;
    }
    CheckWindowsPath(entry.folder ? entry.path + L"\\" : entry.path, Entry(i), findings);
    if (!entry.folder && entry.clash != PackageEntry::NO_ENTRY) {
        // Windows keeps the name a file has when it is written again: the bytes are the later entry's, the spelling
        // the earlier one's, and the list can state only one of them.
        findings.errors.push_back(Entry(i) + ": lib\\" + Printable(entry.path) + " and " + Entry(entry.clash) +
                                  " (lib\\" + Printable(entries[entry.clash].path) +
                                  ") differ only in case and are one file on Windows: the player would get lib\\" +
                                  Printable(entry.diskPath) + " holding " + Entry(i) + "'s bytes");
    }
    if (entry.symbolicLink) {
        findings.warnings.push_back(Entry(i) + ": lib\\" + Printable(entry.path) +
                                    " is a symbolic link; the updater writes it as a small file holding the link's "
                                    "target");
    }
}

void CheckEntries(mz_zip_archive* zip, uint64_t packageSize, bool listEntries, Findings& findings)
{
    if (listEntries) {
        std::printf("%5s %12s  %s\n", "entry", "bytes", "name -> path below lib");
    }
    const std::vector<PackageEntry> entries = ScanPackage(zip);
    bool bassLibrary = false;
    size_t files = 0;
    uint64_t unpacked = 0;
    for (mz_uint i = 0; i < entries.size(); ++i) {
        const PackageEntry& entry = entries[i];
        if (listEntries) {
            std::printf("%5u %12s  %s -> lib\\%s\n", i, entry.folder ? "folder" : std::to_string(entry.size).c_str(),
                        Printable(entry.name).c_str(), Printable(ListedPath(entry)).c_str());
        }
        if (!entry.refusal.empty()) {
            findings.errors.push_back(RefusalText(entries, i));
        } else if (IsSweptAsLeftover(entry)) {
            findings.errors.push_back(Entry(i) + ": lib\\" + Printable(entry.diskPath) +
                                      " is named as the updater names its leftovers (\".old-\" and ten hex digits): "
                                      "every run deletes it, and the library never matches the release's list");
        }
        WarnAbout(entries, i, findings);
        if (entry.folder || !entry.refusal.empty()) {
            continue;
        }
        bassLibrary = bassLibrary || IsBassLibrary(entry.path);
        ++files;
        // Decoded in full, as the updater does, so that the CRC and the sizes are checked too.
        uint64_t delivered = 0;
        mz_zip_get_last_error(zip);
        if (!mz_zip_reader_extract_to_callback(zip, i, CountingCallback, &delivered, 0)) {
            findings.errors.push_back(Entry(i) + ": failed extracting " + Printable(entry.path) + ": " +
                                      EntryFailureText(zip));
        }
        unpacked += delivered;
    }
    // The updater refuses a list without a library line, so such a package could never be listed.
    if (files == 0 && findings.errors.empty()) {
        findings.errors.push_back("no file, only folders: its checksum list would name no library file, and the "
                                  "updater refuses such a list");
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

void CheckPackage(const std::filesystem::path& package, const std::string& shown, bool listEntries, Findings& findings)
{
    Findings found;
    std::string bytes;
    if (ReadPackage(package, bytes, found)) {
        std::printf("package %s: %zu bytes\n", shown.c_str(), bytes.size());
        mz_zip_archive zip;
        std::string message;
        if (OpenZipImage(bytes.data(), bytes.size(), zip, message)) {
            // Declared after the bytes, so the archive is ended before the bytes it reads are freed.
            OpenZip opened(&zip);
            CheckEntries(&zip, bytes.size(), listEntries, found);
        } else {
            found.errors.push_back(message);
        }
    }
    for (const std::string& error : found.errors) {
        findings.errors.push_back(shown + ": " + error);
    }
    for (const std::string& warning : found.warnings) {
        findings.warnings.push_back(shown + ": " + warning);
    }
}

int ReportFindings(const Findings& findings, bool strict, const std::string& failed)
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
        std::printf("FAILED: %s (%s)\n", failed.c_str(), counts.c_str());
        return 1;
    }
    if (strict && !findings.warnings.empty()) {
        std::printf("FAILED: warnings are errors with --strict (%s)\n", counts.c_str());
        return 1;
    }
    std::printf("OK: a player's updater installs this (%s)\n", counts.c_str());
    return 0;
}
