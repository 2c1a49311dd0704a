#include "tests/archive/extract_test_support.h"

#include "archive/archive.h"
#include "fs/fs.h"

namespace {

void AddToTree(const std::wstring& folder, const std::wstring& prefix, Tree& tree)
{
    for (const std::wstring& name : ListFolder(folder)) {
        const std::wstring path = folder + L"\\" + name;
        if ((AttributesOf(path) & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            tree[prefix + name + L"\\"] = std::string();
            AddToTree(path, prefix + name + L"\\", tree);
        } else {
            tree[prefix + name] = ReadFileBytes(path);
        }
    }
}

} // namespace

Tree ReadTree(const std::wstring& folder)
{
    Tree tree;
    // Listed through the extended-length form, which reaches names ending in a dot or a space too.
    AddToTree(MakeLongPath(folder), std::wstring(), tree);
    return tree;
}

void ExtractZipTest::SetUp()
{
    TempFolderTest::SetUp();
    archive = Path(L"archive.zip");
    target = Path(L"target");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
}

void ExtractZipTest::TearDown()
{
    DeleteDirectoryContentsRecursive(folder);
    TempFolderTest::TearDown();
}

void ExtractZipTest::WriteArchive(const std::vector<ZipTestEntry>& entries)
{
    WriteFileBytes(archive, BuildZip(entries));
}

std::string ExtractZipTest::Extract(HWND window)
{
    std::string message;
    const bool extracted = ExtractZip(archive, target, window, message);
    EXPECT_EQ(extracted, message.empty()) << message;
    return message;
}
