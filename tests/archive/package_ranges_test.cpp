#include "archive/archive.h"

#include "zip_test_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

// A package read by ranges must be judged exactly as the whole package is: the same packages refused with the same
// texts, and every accepted entry's bytes found in the span the directory names for it.

namespace {

const unsigned char* At(const std::string& zip, uint64_t offset)
{
    return reinterpret_cast<const unsigned char*>(zip.data()) + offset;
}

MemoryImage TailOf(const std::string& zip, size_t size)
{
    MemoryImage tail;
    AllocateImage(tail, std::min(size, zip.size()));
    std::memcpy(tail.bytes.get(), At(zip, zip.size() - tail.size), tail.size);
    return tail;
}

// The verdict of the whole-package check (the library opens the image, then the rules judge every entry).
std::string WholeVerdict(const std::string& zip)
{
    mz_zip_archive archive;
    std::string message;
    if (!OpenZipImage(zip.data(), zip.size(), archive, message)) {
        return message;
    }
    OpenZip opened(&archive);
    for (const PackageEntry& entry : ScanPackage(&archive)) {
        if (!entry.refusal.empty()) {
            return entry.refusal;
        }
    }
    return "";
}

// The end records and the directory, each step fed only the bytes it would have fetched.
bool ReadDirectory(const std::string& zip, std::vector<RangedEntry>& entries, std::string& reason,
                   PackageDirectoryLocation& location)
{
    const MemoryImage tail = TailOf(zip, PACKAGE_TAIL_BYTES);
    if (!LocatePackageDirectory(tail, zip.size(), location, reason)) {
        return false;
    }
    const std::string missing = zip.substr(location.offset, location.missingBytes);
    const MemoryImage directory = JoinPackageDirectory(tail, location, At(missing, 0));
    return ReadPackageDirectory(directory, location, entries, reason);
}

// A span unpacked as it arrives, one byte at a time: the verdict ("" when unpacked) and the bytes handed out.
std::string StreamedVerdict(const RangedEntry& entry, const std::string& span, std::string& data)
{
    data.clear();
    const EntryStream stream = StartEntryStream(entry, span.size(), [&](const uint8_t* bytes, size_t size) {
        data.append(reinterpret_cast<const char*>(bytes), size);
        return true;
    });
    std::string reason;
    size_t used = 0;
    for (size_t at = 0; at < span.size() && !EntryStreamEnded(*stream); ++at) {
        if (!FeedEntryStream(*stream, At(span, at), 1, used, reason)) {
            return reason;
        }
    }
    return FinishEntryStream(*stream, reason) ? "" : reason;
}

// The verdict by ranges; entries keeps what the directory said, contents what each file entry unpacked to. The span
// unpacked whole and unpacked as it arrives must agree.
std::string RangedVerdict(const std::string& zip, std::vector<RangedEntry>& entries, std::vector<std::string>& contents)
{
    std::string reason;
    PackageDirectoryLocation location;
    if (!ReadDirectory(zip, entries, reason, location)) {
        return reason;
    }
    for (const RangedEntry& entry : entries) {
        const std::string span = zip.substr(entry.spanOffset, entry.spanLength);
        std::vector<uint8_t> data;
        std::string streamed;
        const bool unpacked = entry.path.empty() || UnpackEntrySpan(entry, At(span, 0), span.size(), data, reason);
        EXPECT_EQ(entry.path.empty() ? "" : StreamedVerdict(entry, span, streamed), unpacked ? "" : reason);
        if (!unpacked) {
            return reason;
        }
        EXPECT_EQ(streamed, entry.path.empty() ? "" : std::string(data.begin(), data.end()));
        contents.emplace_back(data.begin(), data.end());
    }
    return "";
}

ZipTestEntry With(ZipTestEntry entry, void (*change)(ZipTestEntry&))
{
    change(entry);
    return entry;
}

struct PackageCase {
    const char* name;
    std::string zip;
    const char* verdict; // "" when the updater installs it
};

std::vector<PackageCase> PackageCases()
{
    const ZipTestEntry bass = DeflatedEntry("bass.dll", SampleText(5000));
    const ZipTestEntry folder = StoredEntry("plugins/", "");
    const ZipTestEntry plugin = StoredEntry("plugins/a.dll", "plugin");
    const std::string comment(65535, 'c');
    std::string badLocal = BuildZip({bass, plugin});
    PutLe32(badLocal, 0, 0x12345678);
    return {
        {"an ordinary package", BuildZip({bass, folder, plugin}), ""},
        {"a package with the longest comment", BuildZip({bass, plugin}, {false, comment, ""}), ""},
        {"zip64 records and entries",
         BuildZip({With(bass, [](ZipTestEntry& e) { e.zip64 = true; }), plugin}, {true, "", ""}), ""},
        {"data descriptors", BuildZip({With(bass, [](ZipTestEntry& e) { e.dataDescriptor = true; }), plugin}), ""},
        {"a path that climbs out", BuildZip({bass, StoredEntry("../evil.dll", "x")}), "unsafe path in zip entry 1"},
        {"a name Windows refuses", BuildZip({StoredEntry("what?.txt", "x")}), "cannot write what?.txt (error 123)"},
        {"a file where a folder must go", BuildZip({StoredEntry("plugins", "x"), plugin}),
         "cannot write plugins\\a.dll (error 3)"},
        {"encryption", BuildZip({With(plugin, [](ZipTestEntry& e) { e.flags = 1; })}),
         "failed extracting plugins\\a.dll: unsupported encryption"},
        {"an unsupported method", BuildZip({With(plugin, [](ZipTestEntry& e) { e.method = 14; })}),
         "failed extracting plugins\\a.dll: unsupported method"},
        {"stored sizes that differ", BuildZip({With(plugin, [](ZipTestEntry& e) { e.uncompressedSizeOverride = 3; })}),
         "failed extracting plugins\\a.dll: unexpected decompressed size"},
        {"a local header past the end",
         BuildZip({With(plugin, [](ZipTestEntry& e) { e.localHeaderOffsetOverride = 1000000; })}),
         "not a valid zip archive: invalid header or archive is corrupted"},
        {"a zip64 local header past the end",
         BuildZip({With(plugin,
                        [](ZipTestEntry& e) {
                            e.zip64 = true;
                            e.localHeaderOffsetOverride = 1u << 30;
                        })}),
         "failed extracting plugins\\a.dll: file read failed"},
        {"a damaged local header", badLocal, "failed extracting bass.dll: invalid header or archive is corrupted"},
        {"another disk", BuildZip({With(plugin, [](ZipTestEntry& e) { e.diskStart = 5; })}),
         "not a valid zip archive: unsupported multidisk archive"},
        {"no entries", BuildZip({}), "zip archive is empty"},
        {"a cut-off end", BuildZip({bass}).substr(0, 200), "not a valid zip archive: failed finding central directory"},
    };
}

TEST(PackageRanges, JudgesEveryPackageAsTheWholePackageCheck)
{
    for (const PackageCase& c : PackageCases()) {
        std::vector<RangedEntry> entries;
        std::vector<std::string> contents;
        EXPECT_EQ(WholeVerdict(c.zip), c.verdict) << c.name;
        EXPECT_EQ(RangedVerdict(c.zip, entries, contents), c.verdict) << c.name;
    }
}

TEST(PackageRanges, FindsEveryEntryInItsSpan)
{
    std::vector<ZipTestEntry> written;
    for (int i = 0; i < 30; ++i) {
        written.push_back(i % 3 == 0 ? StoredEntry("s" + std::to_string(i), SampleText(100 * (i + 1)))
                                     : DeflatedEntry("d/" + std::to_string(i) + ".dll", SampleText(3000 * (i + 1))));
    }
    written.push_back(StoredEntry("empty.txt", ""));
    for (const bool zip64 : {false, true}) {
        const std::string zip = BuildZip(written, {zip64, std::string(40000, 'c'), ""});
        std::vector<RangedEntry> entries;
        std::vector<std::string> contents;
        ASSERT_EQ(RangedVerdict(zip, entries, contents), "");
        ASSERT_EQ(contents.size(), written.size());
        for (size_t i = 0; i < written.size(); ++i) {
            EXPECT_EQ(contents[i], written[i].data) << written[i].name;
        }
        // Spans cover the data region without a byte between them: nothing is fetched that no entry needs.
        for (size_t i = 0; i + 2 < entries.size(); ++i) {
            EXPECT_EQ(entries[i].spanOffset + entries[i].spanLength, entries[i + 1].spanOffset) << i;
        }
        EXPECT_EQ(entries.back().spanLength, 0u);
        EXPECT_EQ(entries.back().path, L"empty.txt");
        EXPECT_EQ(entries[4].path, L"d\\4.dll");
    }
}

TEST(PackageRanges, FetchesOnlyTheDirectoryTheTailLacks)
{
    std::vector<ZipTestEntry> written;
    for (int i = 0; i < 2000; ++i) {
        written.push_back(StoredEntry("folder/a-long-name-for-the-directory-" + std::to_string(i) + ".dll", "x"));
    }
    const std::string zip = BuildZip(written);
    std::vector<RangedEntry> entries;
    std::string reason;
    PackageDirectoryLocation location;
    ASSERT_TRUE(ReadDirectory(zip, entries, reason, location)) << reason;
    EXPECT_EQ(entries.size(), 2000u);
    EXPECT_EQ(zip.compare(location.offset, 4, "PK\1\2"), 0);
    EXPECT_EQ(zip.compare(location.offset + location.size, 4, "PK\5\6"), 0);
    EXPECT_EQ(location.missingBytes, zip.size() - PACKAGE_TAIL_BYTES - location.offset);
    // A short tail that holds the end record finds the same directory; one that a long comment keeps from it is
    // refused rather than misread.
    PackageDirectoryLocation fromShortTail;
    ASSERT_TRUE(LocatePackageDirectory(TailOf(zip, PACKAGE_SHORT_TAIL_BYTES), zip.size(), fromShortTail, reason))
        << reason;
    EXPECT_EQ(fromShortTail.offset, location.offset);
    EXPECT_EQ(fromShortTail.missingBytes, zip.size() - PACKAGE_SHORT_TAIL_BYTES - location.offset);
    const std::string commented = BuildZip(written, {false, std::string(65535, 'c'), ""});
    EXPECT_FALSE(
        LocatePackageDirectory(TailOf(commented, PACKAGE_SHORT_TAIL_BYTES), commented.size(), fromShortTail, reason));
    // A comment that leaves the end record 10 bytes into the short tail: the bytes where a zip64 locator would stand
    // are not in it, so the long tail reads them instead of memory before the tail.
    const std::string nearStart = BuildZip(written, {false, std::string(PACKAGE_SHORT_TAIL_BYTES - 32, 'c'), ""});
    EXPECT_FALSE(
        LocatePackageDirectory(TailOf(nearStart, PACKAGE_SHORT_TAIL_BYTES), nearStart.size(), fromShortTail, reason));
    ASSERT_TRUE(LocatePackageDirectory(TailOf(nearStart, PACKAGE_TAIL_BYTES), nearStart.size(), fromShortTail, reason))
        << reason;
    EXPECT_EQ(fromShortTail.offset, location.offset);
}

// Unpacked whole or as it arrives, an entry is refused alike; as it arrives, nothing past its claimed size is handed
// out.
TEST(PackageRanges, UnpacksOnlyAWholeSoundSpan)
{
    const std::string text = SampleText(70000);
    const struct {
        const char* name;
        ZipTestEntry entry;
        size_t cut;      // bytes dropped from the end of the span
        size_t damageAt; // a byte of the span flipped, or npos
        const char* verdict;
    } cases[] = {
        {"stored", StoredEntry("a.dll", text), 0, std::string::npos, ""},
        {"deflated", DeflatedEntry("a.dll", text), 0, std::string::npos, ""},
        {"a wrong CRC", With(DeflatedEntry("a.dll", text), [](ZipTestEntry& e) { e.crcOverride = 7; }), 0,
         std::string::npos, "failed extracting a.dll: decompression failed or archive is corrupted"},
        {"another local signature", DeflatedEntry("a.dll", text), 0, 1,
         "failed extracting a.dll: invalid header or archive is corrupted"},
        {"a local name longer than the span", DeflatedEntry("a.dll", text), 0, 27,
         "failed extracting a.dll: invalid header or archive is corrupted"},
        {"a span cut short", DeflatedEntry("a.dll", text), 100, std::string::npos,
         "failed extracting a.dll: invalid header or archive is corrupted"},
        {"a span shorter than a header", DeflatedEntry("a.dll", text), 0xFFFFFFF, std::string::npos,
         "failed extracting a.dll: file read failed"},
        {"damaged deflate data", DeflatedEntry("a.dll", text), 0, 40,
         "failed extracting a.dll: decompression failed or archive is corrupted"},
        {"output past the claimed size",
         With(DeflatedEntry("a.dll", text), [](ZipTestEntry& e) { e.uncompressedSizeOverride = 1000; }), 0,
         std::string::npos, "failed extracting a.dll: decompression failed or archive is corrupted"},
        {"a claimed size beyond the output",
         With(DeflatedEntry("a.dll", text),
              [](ZipTestEntry& e) {
                  e.zip64 = true;
                  e.uncompressedSizeOverride = 1ull << 40;
              }),
         0, std::string::npos, "failed extracting a.dll: unexpected decompressed size"},
    };
    for (const auto& c : cases) {
        const std::string zip = BuildZip({c.entry});
        std::vector<RangedEntry> entries;
        std::string reason;
        PackageDirectoryLocation location;
        ASSERT_TRUE(ReadDirectory(zip, entries, reason, location)) << reason;
        ASSERT_EQ(entries.size(), 1u);
        std::string span = zip.substr(entries[0].spanOffset, entries[0].spanLength);
        span.resize(span.size() > c.cut ? span.size() - c.cut : 20);
        if (c.damageAt != std::string::npos) {
            span[c.damageAt] = static_cast<char>(span[c.damageAt] ^ 0x5A);
        }
        std::vector<uint8_t> data;
        const bool unpacked = UnpackEntrySpan(entries[0], At(span, 0), span.size(), data, reason);
        EXPECT_EQ(unpacked ? "" : reason, c.verdict) << c.name;
        EXPECT_EQ(std::string(data.begin(), data.end()), unpacked ? text : "") << c.name;
        std::string streamed;
        EXPECT_EQ(StreamedVerdict(entries[0], span, streamed), c.verdict) << c.name;
        EXPECT_LE(streamed.size(), entries[0].uncompressedSize) << c.name;
        EXPECT_EQ(streamed, text.substr(0, streamed.size())) << c.name;
    }
}

} // namespace
