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

struct Item {
    std::string name; // '/'-separated UTF-8, a trailing '/' for a folder
    fs::path source;
    bool folder;
};

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

// The name of one folder entry below the packed folder, as stored; false when this platform's name is not Unicode.
bool ComponentUtf8(const fs::path& component, std::string& utf8)
{
#ifdef _WIN32
    utf8 = WideToUtf8(component.wstring());
    const std::wstring back = DecodeUtf8(utf8.data(), utf8.size());
    return back == component.wstring();
#else
    utf8 = component.native();
    const std::wstring decoded = DecodeUtf8(utf8.data(), utf8.size());
    return WideToUtf8(decoded) == utf8;
#endif
}

// Refuses, with the reason, a name the updater would refuse or could not create, and a backslash in a name: the
// updater takes it for a separator, which the studio's folder did not mean.
void CheckItemName(const std::string& name, const std::string& shown, bool folder, Findings& findings)
{
    if (name.find('\\') != std::string::npos) {
        findings.errors.push_back(shown + ": the name holds a backslash, which the updater takes for a separator");
        return;
    }
    std::wstring path = DecodeUtf8(name.data(), name.size());
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (!IsSafeEntryName(path)) {
        findings.errors.push_back(shown + ": the updater refuses this name (\":\", a NUL or \"..\")");
        return;
    }
    Findings windows;
    CheckWindowsPath(folder ? path + L"\\" : path, shown, windows);
    findings.errors.insert(findings.errors.end(), windows.errors.begin(), windows.errors.end());
}

// Collects the files and empty folders below folder; symbolic links and special files are refused, never followed.
void Collect(const fs::path& folder, const std::string& prefix, std::vector<Item>& items, Findings& findings)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    size_t found = 0;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        ++found;
        const fs::path& source = it->path();
        std::string component;
        const std::string shown = PathToUtf8(source);
        if (!ComponentUtf8(source.filename(), component)) {
            findings.errors.push_back(shown + ": the name is not valid Unicode (UTF-8)");
            continue;
        }
        const std::string name = prefix + component;
        const fs::file_status status = fs::symlink_status(source, error);
        if (error) {
            break;
        }
        if (fs::is_symlink(status)) {
            findings.errors.push_back(shown + ": a symbolic link; packages hold plain files, and links are not "
                                              "followed");
        } else if (fs::is_directory(status)) {
            CheckItemName(name, shown, true, findings);
            Collect(source, name + "/", items, findings);
        } else if (fs::is_regular_file(status)) {
            CheckItemName(name, shown, false, findings);
            items.push_back(Item{name, source, false});
        } else {
            findings.errors.push_back(shown + ": neither a file nor a folder");
        }
    }
    if (error) {
        findings.errors.push_back(PathToUtf8(folder) + ": cannot list it: " + error.message());
        return;
    }
    if (found == 0 && !prefix.empty()) {
        items.push_back(Item{prefix, folder, true});
    }
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
bool Assemble(const std::vector<Item>& items, std::string& out, Findings& findings)
{
    std::vector<Written> written;
    for (const Item& item : items) {
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

void BuildPackage(const fs::path& folder, const fs::path& package, Findings& findings)
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
    std::vector<Item> items;
    Collect(folder, std::string(), items, findings);
    if (!findings.errors.empty()) {
        return;
    }
    if (items.empty()) {
        findings.errors.push_back(PathToUtf8(folder) + ": nothing to pack (the updater refuses an empty package)");
        return;
    }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.name < b.name; });
    std::string out;
    if (!Assemble(items, out, findings)) {
        return;
    }
    std::ofstream file(package, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(out.data(), static_cast<std::streamsize>(out.size())) || !file.flush()) {
        findings.errors.push_back(PathToUtf8(package) + ": cannot write it");
        file.close();
        fs::remove(package, error);
        return;
    }
    std::printf("packed %zu entries from %s into %s (%zu bytes)\n", items.size(), PathToUtf8(folder).c_str(),
                PathToUtf8(package).c_str(), out.size());
}
