#pragma once

#include "tests/archive/zip_test_writer.h"
#include "tests/common/test_support.h"

#include <map>
#include <string>
#include <vector>

// What a folder holds, recursively: relative path -> bytes; directories end in '\' and hold "".
using Tree = std::map<std::wstring, std::string>;
Tree ReadTree(const std::wstring& folder);

// A temporary folder with an archive "archive.zip" and an extraction target "target" side by side.
class ExtractZipTest : public TempFolderTest {
protected:
    void SetUp() override;
    // Names such as "NUL" or "a." are reachable only through extended-length paths.
    void TearDown() override;
    void WriteArchive(const std::vector<ZipTestEntry>& entries);
    // ExtractZip into the target: "" when it succeeded, else its message.
    std::string Extract(HWND window = nullptr);
    std::wstring Target(const std::wstring& name) const { return target + L"\\" + name; }

    std::wstring archive;
    std::wstring target;
};
