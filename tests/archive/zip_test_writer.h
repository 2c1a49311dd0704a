#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Builds zip archives in memory for tests, so no binary archive is kept in the tree. Everything a hostile or
// unusual archive needs can be set per entry; what is not set is written the ordinary way.
struct ZipTestEntry {
    std::string name;    // raw bytes, no encoding applied
    std::string data;    // the entry's content
    uint16_t method = 0; // 0 stored, 8 deflated (zlib, raw); any other number stores data as given under it
    uint16_t flags = 0;  // general-purpose bits; 0x0008 is added when dataDescriptor is set
    uint32_t externalAttributes = 0;
    uint16_t internalAttributes = 0;
    uint16_t versionMadeBy = 20;
    uint16_t dosTime = 0x6000; // 12:00:00
    uint16_t dosDate = 0x5821; // 2024-01-01
    uint16_t diskStart = 0;
    std::optional<uint32_t> crcOverride;
    bool zip64 = false;          // central sizes and offset as 0xFFFFFFFF with the values in a zip64 extra field
    bool dataDescriptor = false; // zeros in the local header, CRC and sizes in a descriptor after the data
    // Written to the central record (and the zip64 extra field) instead of the true values.
    std::optional<uint64_t> compressedSizeOverride;
    std::optional<uint64_t> uncompressedSizeOverride;
    std::optional<uint64_t> localHeaderOffsetOverride;
    std::optional<std::string> payload; // bytes written as the entry's data instead of data (compressed)
    std::string centralExtra;           // appended to the central record's extra field
    std::string comment;
};

struct ZipTestOptions {
    bool zip64Directory = false; // zip64 end record and locator; the classic record then holds 0xFFFF/0xFFFFFFFF
    std::string comment;         // the end record's comment
    std::string trailing;        // bytes after the end record and its comment
};

// Ordinary entries to start from; adjust fields afterwards for the unusual cases.
ZipTestEntry StoredEntry(const std::string& name, const std::string& data);
ZipTestEntry DeflatedEntry(const std::string& name, const std::string& data);

// The archive bytes: local headers and data, the central directory, the optional zip64 records, the end record.
std::string BuildZip(const std::vector<ZipTestEntry>& entries, const ZipTestOptions& options = {});

// data as a raw deflate stream (no zlib header), as zip entries hold it.
std::string DeflateRaw(const std::string& data);

// Deterministic text of the given size that deflates to a fraction of it without being trivially repetitive.
std::string SampleText(size_t size);

uint32_t Crc32Of(const std::string& data);

// Little-endian patches for tests that damage a built archive.
void PutLe16(std::string& bytes, size_t offset, uint16_t value);
void PutLe32(std::string& bytes, size_t offset, uint32_t value);
void PutLe64(std::string& bytes, size_t offset, uint64_t value);
