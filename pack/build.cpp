#include "pack/pack.h"

#include "archive/archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const uint32_t MARK_32 = 0xFFFFFFFFu;
const uint16_t MARK_16 = 0xFFFF;
const size_t READ_PIECE_BYTES = 0x100000;
// Every entry carries the same time, so that the bytes depend on the folder's content only: 1980-01-01 00:00:00.
const uint16_t FIXED_DOS_TIME = 0;
const uint16_t FIXED_DOS_DATE = (1 << 5) | 1;
const uint16_t VERSION_PLAIN = 20;
const uint16_t VERSION_ZIP64 = 45;
const uint32_t DOS_DIRECTORY_ATTRIBUTE = 0x10;
const uint16_t ZIP64_EXTRA_ID = 0x0001;

struct Written {
    std::string name;
    bool folder;
    uint16_t method;
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t size;
    uint64_t offset;
};

void Add16(std::string& out, uint64_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Add32(std::string& out, uint64_t value)
{
    Add16(out, value & 0xFFFF);
    Add16(out, (value >> 16) & 0xFFFF);
}

void Add64(std::string& out, uint64_t value)
{
    Add32(out, value & MARK_32);
    Add32(out, value >> 32);
}

uint32_t Narrow32(uint64_t value)
{
    return value >= MARK_32 ? MARK_32 : static_cast<uint32_t>(value);
}

// Deflates the file in pieces; sets crc and size from what was read.
bool DeflateFile(const fs::path& source, std::string& compressed, uint32_t& crc, uint64_t& size, std::string& error)
{
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        error = "cannot open it";
        return false;
    }
    z_stream stream{};
    // Raw deflate, as zip entries hold it; level 9 and the default memory level are the same on every machine.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        error = "cannot start deflate";
        return false;
    }
    std::vector<char> piece(READ_PIECE_BYTES);
    std::vector<unsigned char> output(READ_PIECE_BYTES);
    crc = static_cast<uint32_t>(crc32(0, Z_NULL, 0));
    size = 0;
    int status = Z_OK;
    bool ok = true;
    for (bool last = false; ok && !last;) {
        in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        last = !in;
        if (last && !in.eof()) {
            error = "cannot read it";
            ok = false;
            break;
        }
        crc = static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(got)));
        size += got;
        stream.next_in = reinterpret_cast<Bytef*>(piece.data());
        stream.avail_in = static_cast<uInt>(got);
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            status = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            compressed.append(reinterpret_cast<const char*>(output.data()), output.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        if (compressed.size() > PACKAGE_MAX_BYTES) {
            error = "it does not fit in a package of 1 GiB";
            ok = false;
        }
    }
    deflateEnd(&stream);
    if (ok && status != Z_STREAM_END) {
        error = "deflate failed";
        ok = false;
    }
    return ok;
}

// Local header and data of one entry; a zip64 extra field only when a size needs it, holding both sizes there.
void AppendEntry(std::string& out, const Written& entry, const std::string& data)
{
    const bool zip64 = entry.size >= MARK_32 || entry.compressedSize >= MARK_32;
    Add32(out, 0x04034b50);
    Add16(out, zip64 ? VERSION_ZIP64 : VERSION_PLAIN);
    Add16(out, IsAscii(entry.name) ? 0 : UTF8_NAME_FLAG);
    Add16(out, entry.method);
    Add16(out, FIXED_DOS_TIME);
    Add16(out, FIXED_DOS_DATE);
    Add32(out, entry.crc);
    Add32(out, zip64 ? MARK_32 : entry.compressedSize);
    Add32(out, zip64 ? MARK_32 : entry.size);
    Add16(out, entry.name.size());
    Add16(out, zip64 ? 20 : 0);
    out += entry.name;
    if (zip64) {
        Add16(out, ZIP64_EXTRA_ID);
        Add16(out, 16);
        Add64(out, entry.size);
        Add64(out, entry.compressedSize);
    }
    out += data;
}

void AppendCentralRecord(std::string& out, const Written& entry)
{
    std::string extra;
    for (const uint64_t value : {entry.size, entry.compressedSize, entry.offset}) {
        if (value >= MARK_32) {
            Add64(extra, value);
        }
    }
    if (!extra.empty()) {
        std::string field;
        Add16(field, ZIP64_EXTRA_ID);
        Add16(field, extra.size());
        extra = field + extra;
    }
    const uint16_t version = extra.empty() ? VERSION_PLAIN : VERSION_ZIP64;
    Add32(out, 0x02014b50);
    Add16(out, version); // made by MS-DOS: attributes are DOS ones
    Add16(out, version);
    Add16(out, IsAscii(entry.name) ? 0 : UTF8_NAME_FLAG);
    Add16(out, entry.method);
    Add16(out, FIXED_DOS_TIME);
    Add16(out, FIXED_DOS_DATE);
    Add32(out, entry.crc);
    Add32(out, Narrow32(entry.compressedSize));
    Add32(out, Narrow32(entry.size));
    Add16(out, entry.name.size());
    Add16(out, extra.size());
    Add16(out, 0); // comment
    Add16(out, 0); // disk
    Add16(out, 0); // internal attributes
    Add32(out, entry.folder ? DOS_DIRECTORY_ATTRIBUTE : 0);
    Add32(out, Narrow32(entry.offset));
    out += entry.name;
    out += extra;
}

void AppendEnd(std::string& out, uint64_t entries, uint64_t directoryOffset)
{
    const uint64_t directorySize = out.size() - directoryOffset;
    if (entries >= MARK_16 || directorySize >= MARK_32 || directoryOffset >= MARK_32) {
        const uint64_t recordOffset = out.size();
        Add32(out, 0x06064b50);
        Add64(out, 44); // the record's size after this field
        Add16(out, VERSION_ZIP64);
        Add16(out, VERSION_ZIP64);
        Add32(out, 0);
        Add32(out, 0);
        Add64(out, entries);
        Add64(out, entries);
        Add64(out, directorySize);
        Add64(out, directoryOffset);
        Add32(out, 0x07064b50);
        Add32(out, 0);
        Add64(out, recordOffset);
        Add32(out, 1);
    }
    Add32(out, 0x06054b50);
    Add16(out, 0);
    Add16(out, 0);
    Add16(out, entries >= MARK_16 ? MARK_16 : entries);
    Add16(out, entries >= MARK_16 ? MARK_16 : entries);
    Add32(out, Narrow32(directorySize));
    Add32(out, Narrow32(directoryOffset));
    Add16(out, 0);
}

// The package bytes for the collected items, which are sorted by name; false with an error added.
bool Assemble(const std::vector<PackItem>& items, std::string& out, Findings& findings)
{
    std::vector<Written> written;
    for (const PackItem& item : items) {
        Written entry{item.name, item.folder, 0, 0, 0, 0, out.size()};
        std::string data;
        if (!item.folder) {
            std::string error;
            if (!DeflateFile(item.source, data, entry.crc, entry.size, error)) {
                findings.errors.push_back(PathToUtf8(item.source) + ": " + error);
                return false;
            }
            entry.method = 8;
            // Stored where deflate does not shrink the data: the same bytes are quicker to unpack.
            if (data.size() >= entry.size) {
                entry.method = 0;
                if (!ReadWholeFile(item.source, entry.size, data) || data.size() != entry.size ||
                    crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())) !=
                        entry.crc) {
                    findings.errors.push_back(PathToUtf8(item.source) + ": changed while it was packed");
                    return false;
                }
            }
            entry.compressedSize = data.size();
        }
        AppendEntry(out, entry, data);
        written.push_back(entry);
        if (out.size() > PACKAGE_MAX_BYTES) {
            findings.errors.push_back("the package would be larger than 1 GiB, which the updater refuses");
            return false;
        }
    }
    const uint64_t directoryOffset = out.size();
    for (const Written& entry : written) {
        AppendCentralRecord(out, entry);
    }
    AppendEnd(out, written.size(), directoryOffset);
    return true;
}

} // namespace

void BuildPackage(const fs::path& folder, const fs::path& package, bool listEntries, Findings& findings)
{
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error))) {
        findings.errors.push_back(PathToUtf8(folder) + ": not a folder");
        return;
    }
    // A package written into the folder it packs would end up inside the next build of it.
    const fs::path folderPath = fs::weakly_canonical(folder, error);
    const fs::path packagePath = fs::weakly_canonical(fs::absolute(package, error), error);
    const auto mismatch = std::mismatch(folderPath.begin(), folderPath.end(), packagePath.begin(), packagePath.end());
    if (!error && mismatch.first == folderPath.end()) {
        findings.errors.push_back(PathToUtf8(package) + ": the package must not be written inside the folder");
        return;
    }
    std::vector<PackItem> items;
    CollectFolder(folder, items, findings);
    if (!findings.errors.empty()) {
        return;
    }
    if (items.empty()) {
        findings.errors.push_back(PathToUtf8(folder) + ": nothing to pack (the updater refuses an empty package)");
        return;
    }
    std::sort(items.begin(), items.end(), [](const PackItem& a, const PackItem& b) { return a.name < b.name; });
    std::string out;
    if (!Assemble(items, out, findings)) {
        return;
    }
    // What the studio uploads is what the updater accepts: the same check as "pack check", on the written file, and
    // only then does it take the package's name; a failed build leaves the last good package where it was.
    fs::path temporary;
    std::string message;
    if (!WriteTemporaryBeside(package, out, temporary, message)) {
        findings.errors.push_back(message);
        return;
    }
    const size_t errors = findings.errors.size();
    CheckPackage(temporary, PathToUtf8(package), listEntries, findings);
    if (findings.errors.size() != errors) {
        DiscardTemporary(temporary);
        return;
    }
    if (!ReplaceWithTemporary(temporary, package, message)) {
        findings.errors.push_back(message);
        return;
    }
    std::printf("packed %zu entries from %s into %s (%zu bytes)\n", items.size(), PathToUtf8(folder).c_str(),
                PathToUtf8(package).c_str(), out.size());
}
