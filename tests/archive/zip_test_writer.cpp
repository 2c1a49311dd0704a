#include "zip_test_writer.h"

#include <zlib.h>

#include <stdexcept>

namespace {

constexpr uint32_t MARKER_32 = 0xFFFFFFFFu;
constexpr uint16_t DATA_DESCRIPTOR_FLAG = 0x0008;

void AddLe16(std::string& out, uint64_t value)
{
    for (int i = 0; i < 2; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void AddLe32(std::string& out, uint64_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void AddLe64(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

void WriteEntry(std::string& out, std::string& directory, const ZipTestEntry& entry)
{
    const std::string content =
        entry.payload ? *entry.payload : (entry.method == 8 ? DeflateRaw(entry.data) : entry.data);
    const uint32_t crc = entry.crcOverride ? *entry.crcOverride : Crc32Of(entry.data);
    const uint64_t compSize = content.size();
    const uint64_t uncompSize = entry.data.size();
    const uint64_t localOfs = out.size();
    const uint16_t flags = static_cast<uint16_t>(entry.flags | (entry.dataDescriptor ? DATA_DESCRIPTOR_FLAG : 0));
    const uint16_t versionNeeded = entry.zip64 ? 45 : 20;

    std::string localExtra;
    if (entry.zip64) {
        AddLe16(localExtra, 0x0001);
        AddLe16(localExtra, 16);
        AddLe64(localExtra, entry.dataDescriptor ? 0 : uncompSize);
        AddLe64(localExtra, entry.dataDescriptor ? 0 : compSize);
    }
    AddLe32(out, 0x04034b50);
    AddLe16(out, versionNeeded);
    AddLe16(out, flags);
    AddLe16(out, entry.method);
    AddLe16(out, entry.dosTime);
    AddLe16(out, entry.dosDate);
    AddLe32(out, entry.dataDescriptor ? 0 : crc);
    AddLe32(out, entry.dataDescriptor ? 0 : (entry.zip64 ? MARKER_32 : compSize));
    AddLe32(out, entry.dataDescriptor ? 0 : (entry.zip64 ? MARKER_32 : uncompSize));
    AddLe16(out, entry.name.size());
    AddLe16(out, localExtra.size());
    out += entry.name;
    out += localExtra;
    out += content;
    if (entry.dataDescriptor) {
        AddLe32(out, 0x08074b50);
        AddLe32(out, crc);
        if (entry.zip64) {
            AddLe64(out, compSize);
            AddLe64(out, uncompSize);
        } else {
            AddLe32(out, compSize);
            AddLe32(out, uncompSize);
        }
    }

    const uint64_t centralComp = entry.compressedSizeOverride.value_or(compSize);
    const uint64_t centralUncomp = entry.uncompressedSizeOverride.value_or(uncompSize);
    const uint64_t centralOfs = entry.localHeaderOffsetOverride.value_or(localOfs);
    std::string centralExtra;
    if (entry.zip64) {
        AddLe16(centralExtra, 0x0001);
        AddLe16(centralExtra, 24);
        AddLe64(centralExtra, centralUncomp);
        AddLe64(centralExtra, centralComp);
        AddLe64(centralExtra, centralOfs);
    }
    centralExtra += entry.centralExtra;
    AddLe32(directory, 0x02014b50);
    AddLe16(directory, entry.versionMadeBy);
    AddLe16(directory, versionNeeded);
    AddLe16(directory, flags);
    AddLe16(directory, entry.method);
    AddLe16(directory, entry.dosTime);
    AddLe16(directory, entry.dosDate);
    AddLe32(directory, crc);
    AddLe32(directory, entry.zip64 ? MARKER_32 : centralComp);
    AddLe32(directory, entry.zip64 ? MARKER_32 : centralUncomp);
    AddLe16(directory, entry.name.size());
    AddLe16(directory, centralExtra.size());
    AddLe16(directory, entry.comment.size());
    AddLe16(directory, entry.diskStart);
    AddLe16(directory, entry.internalAttributes);
    AddLe32(directory, entry.externalAttributes);
    AddLe32(directory, entry.zip64 ? MARKER_32 : centralOfs);
    directory += entry.name;
    directory += centralExtra;
    directory += entry.comment;
}

} // namespace

ZipTestEntry StoredEntry(const std::string& name, const std::string& data)
{
    ZipTestEntry entry;
    entry.name = name;
    entry.data = data;
    return entry;
}

ZipTestEntry DeflatedEntry(const std::string& name, const std::string& data)
{
    ZipTestEntry entry = StoredEntry(name, data);
    entry.method = 8;
    return entry;
}

std::string BuildZip(const std::vector<ZipTestEntry>& entries, const ZipTestOptions& options)
{
    std::string out;
    std::string directory;
    for (const ZipTestEntry& entry : entries) {
        WriteEntry(out, directory, entry);
    }
    const uint64_t directoryOfs = out.size();
    out += directory;
    const uint64_t count = entries.size();
    if (options.zip64Directory) {
        const uint64_t end64Ofs = out.size();
        AddLe32(out, 0x06064b50);
        AddLe64(out, 44);
        AddLe16(out, 45);
        AddLe16(out, 45);
        AddLe32(out, 0);
        AddLe32(out, 0);
        AddLe64(out, count);
        AddLe64(out, count);
        AddLe64(out, directory.size());
        AddLe64(out, directoryOfs);
        AddLe32(out, 0x07064b50);
        AddLe32(out, 0);
        AddLe64(out, end64Ofs);
        AddLe32(out, 1);
    }
    AddLe32(out, 0x06054b50);
    AddLe16(out, 0);
    AddLe16(out, 0);
    AddLe16(out, options.zip64Directory ? 0xFFFF : count);
    AddLe16(out, options.zip64Directory ? 0xFFFF : count);
    AddLe32(out, options.zip64Directory ? MARKER_32 : directory.size());
    AddLe32(out, options.zip64Directory ? MARKER_32 : directoryOfs);
    AddLe16(out, options.comment.size());
    out += options.comment;
    out += options.trailing;
    return out;
}

std::string DeflateRaw(const std::string& data)
{
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        throw std::runtime_error("deflate failed");
    }
    return out;
}

std::string SampleText(size_t size)
{
    static const char* const WORDS[] = {"patch ", "game ", "update ", "mirror ",   "launcher ", "archive ",
                                        "\n",     "data ", "01234 ",  "vorlance ", "x"};
    std::string out;
    uint32_t state = 12345;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        out += WORDS[(state >> 16) % (sizeof(WORDS) / sizeof(WORDS[0]))];
        out.push_back(static_cast<char>('a' + (state >> 8) % 26));
    }
    out.resize(size);
    return out;
}

uint32_t Crc32Of(const std::string& data)
{
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

void PutLe16(std::string& bytes, size_t offset, uint16_t value)
{
    for (size_t i = 0; i < 2; ++i) {
        bytes.at(offset + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

void PutLe32(std::string& bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) {
        bytes.at(offset + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

void PutLe64(std::string& bytes, size_t offset, uint64_t value)
{
    for (size_t i = 0; i < 8; ++i) {
        bytes.at(offset + i) = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}
