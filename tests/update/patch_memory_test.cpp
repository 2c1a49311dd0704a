#include "update/update.h"

#include "archive/archive.h"
#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"
#include "tests/mirror/mirror_client.h"

#include <psapi.h>
#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

// What a patch may add to this process's peak memory, whatever a mirror's records claim. An entry inflated into
// memory would add its whole output: BOMB_OUTPUT_BYTES.
const SIZE_T PATCH_MEMORY_BYTES = 16 * 1024 * 1024;
const uint64_t BOMB_OUTPUT_BYTES = 128 * 1024 * 1024;

// Release 1 is installed; release 2, the listed one, changes b.dll. Large libraries beside it make a patch pay.
std::string PackageWith(const ZipTestEntry& b)
{
    return BuildZip({StoredEntry("a.dll", std::string(300000, 'a')), b,
                     StoredEntry("c/c.dll", std::string(300000, 'c')), StoredEntry("d.dll", std::string(300000, 'd'))});
}

// b.dll as a deflate stream of BOMB_OUTPUT_BYTES zeros whose records claim `claimed` bytes, made without holding the
// zeros, so that the test's own peak stays low.
ZipTestEntry ZerosClaiming(uint64_t claimed)
{
    z_stream stream = {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::vector<unsigned char> zeros(1 << 20);
    std::vector<unsigned char> out(1 << 16);
    std::string payload;
    for (uint64_t left = BOMB_OUTPUT_BYTES; left > 0;) {
        stream.next_in = zeros.data();
        stream.avail_in = static_cast<uInt>(std::min<uint64_t>(left, zeros.size()));
        left -= stream.avail_in;
        do {
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            payload.append(reinterpret_cast<const char*>(out.data()), out.size() - stream.avail_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    ZipTestEntry entry = DeflatedEntry("b.dll", "");
    entry.payload = payload;
    entry.zip64 = true;
    entry.uncompressedSizeOverride = claimed;
    return entry;
}

// A package of nothing but end records that claim `records` central records, all of them zeros: a sparse file.
void ServeClaimedDirectory(const std::wstring& relativePath, uint64_t records)
{
    const uint64_t directoryBytes = records * 46;
    std::string ends(98, '\0');
    PutLe32(ends, 0, 0x06064b50);
    PutLe64(ends, 4, 44);
    PutLe64(ends, 24, records);
    PutLe64(ends, 32, records);
    PutLe64(ends, 40, directoryBytes);
    PutLe32(ends, 56, 0x07064b50);
    PutLe64(ends, 64, directoryBytes);
    PutLe32(ends, 72, 1);
    PutLe32(ends, 76, 0x06054b50);
    PutLe32(ends, 84, 0xFFFFFFFF);
    PutLe64(ends, 88, 0xFFFFFFFFFFFFFFFF);
    ServeFile(relativePath, "");
    std::wstring path = MirrorRootFolder() + L"\\" + relativePath;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(directoryBytes);
    DWORD written = 0;
    EXPECT_TRUE(SetFilePointerEx(file, at, nullptr, FILE_BEGIN) &&
                WriteFile(file, ends.data(), static_cast<DWORD>(ends.size()), &written, nullptr));
    CloseHandle(file);
}

using PatchMemoryTest = ProgramFolderTest;

// A mirror's records claim what they like: an entry whose output passes its claimed size is stopped as it is written,
// one that claims more than it holds is written to disk, never held, and a directory too large to name the listed files
// is never fetched. Each time the patch falls back to the whole package (not the listed one here, so the run stops with
// lib as it was), and the patch holds little memory meanwhile.
TEST_F(PatchMemoryTest, HoldsLittleWhateverAMirrorClaims)
{
    ChecksumList list;
    ASSERT_TRUE(
        ParseChecksumList(ChecksumListFromPackTool(PackageWith(StoredEntry("b.dll", "b 2")), "MZ game", 2), list));
    const struct {
        const char* what;
        std::string package; // empty: end records that claim two million central records
        size_t ranges;       // the parts the mirror served: the tail, and b.dll's span when the directory is read
    } cases[] = {
        {"an entry that claims twice what it holds", PackageWith(ZerosClaiming(2 * BOMB_OUTPUT_BYTES)), 2},
        {"an entry whose output passes its claim", PackageWith(ZerosClaiming(1000)), 2},
        {"a directory of two million records", "", 1},
    };
    for (const auto& c : cases) {
        RemoveTree(Path(L"lib"));
        CreateDirectoryW(Path(L"lib").c_str(), nullptr);
        CreateDirectoryW(Path(L"lib\\c").c_str(), nullptr);
        WriteFileBytes(Path(L"lib\\a.dll"), std::string(300000, 'a'));
        WriteFileBytes(Path(L"lib\\b.dll"), "b 1");
        WriteFileBytes(Path(L"lib\\c\\c.dll"), std::string(300000, 'c'));
        WriteFileBytes(Path(L"lib\\d.dll"), std::string(300000, 'd'));
        for (const wchar_t* mirror : {L"primary", L"fallback"}) {
            RemoveTree(MirrorRootFolder() + L"\\" + mirror);
        }
        if (c.package.empty()) {
            ServeClaimedDirectory(L"primary/vorlance/lib.zip", 2000000);
        } else {
            ServeFile(L"primary/vorlance/lib.zip", c.package);
        }
        PROCESS_MEMORY_COUNTERS before = {};
        ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));

        std::string failure;
        try {
            InstallLibraryPackage(programDirectory, recorder, &list);
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }

        PROCESS_MEMORY_COUNTERS after = {};
        ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
        EXPECT_EQ(failure, "The downloaded update was damaged. Your game was not changed; please try again later.")
            << c.what;
        EXPECT_EQ(ReadFileBytes(Path(L"lib\\b.dll")), "b 1") << c.what;
        EXPECT_EQ(ListFolder(folder), (std::vector<std::wstring>{L"lib"})) << c.what;
        // The parts, then the whole package once.
        EXPECT_EQ(RangesFor(L"primary").size(), c.ranges) << c.what;
        EXPECT_EQ(RequestsFor(L"primary").size(), c.ranges + 1) << c.what;
        // The whole package that follows a refused directory is held whole, as it is without a patch.
        if (!c.package.empty()) {
            EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, PATCH_MEMORY_BYTES) << c.what;
            // Wine reports the current private bytes as the peak commit, so only Windows' peak is compared.
            if (!IsRunningUnderWine()) {
                EXPECT_LT(after.PeakPagefileUsage - before.PeakPagefileUsage, PATCH_MEMORY_BYTES) << c.what;
            }
        }
        TakePosted(recorder);
    }
}

} // namespace
