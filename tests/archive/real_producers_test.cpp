#include "tests/archive/extract_test_support.h"

#include <cstdlib>

namespace {

// The folder that tests/archive/make-archives.sh filled: given as a Linux path, reached through Wine's Z: drive.
std::wstring ArchivesFolder()
{
    const char* made = std::getenv("VORLANCE_TEST_ARCHIVES");
    if (made == nullptr || !IsRunningUnderWine()) {
        return std::wstring();
    }
    std::wstring folder = L"Z:" + Widen(made);
    for (wchar_t& c : folder) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return folder;
}

struct ProducedCase {
    const wchar_t* archive;
    const wchar_t* madeFrom;
};

const ProducedCase PRODUCED_CASES[] = {
    {L"python-deflated.zip", L"tree-utf8"}, // UTF-8 name flag, a deflated empty file
    {L"python-stored.zip", L"tree"},
    {L"infozip.zip", L"tree"},
    {L"infozip-zip64.zip", L"tree"},    // zip64 records and extra fields
    {L"infozip-stream.zip", L"stream"}, // sizes in a data descriptor
    {L"7z.zip", L"tree-utf8"},
    {L"bsdtar.zip", L"tree-utf8"}, // data descriptors throughout
};

class ProducedArchiveTest : public ExtractZipTest, public ::testing::WithParamInterface<ProducedCase> {};

TEST_P(ProducedArchiveTest, ExtractsTheTreeItWasMadeFrom)
{
    const std::wstring archives = ArchivesFolder();
    if (archives.empty()) {
        GTEST_SKIP() << "no archives made by real tools here (VORLANCE_TEST_ARCHIVES under Wine)";
    }
    archive = archives + L"\\" + GetParam().archive;
    EXPECT_EQ(Extract(), "");
    const Tree madeFrom = ReadTree(archives + L"\\" + GetParam().madeFrom);
    EXPECT_GE(madeFrom.size(), 1u);
    EXPECT_EQ(ReadTree(target), madeFrom);
}

INSTANTIATE_TEST_SUITE_P(Tools, ProducedArchiveTest, ::testing::ValuesIn(PRODUCED_CASES));

TEST_F(ExtractZipTest, RefusesABzip2EntryFromARealTool)
{
    const std::wstring archives = ArchivesFolder();
    if (archives.empty()) {
        GTEST_SKIP() << "no archives made by real tools here (VORLANCE_TEST_ARCHIVES under Wine)";
    }
    archive = archives + L"\\7z-bzip2.zip";
    EXPECT_EQ(Extract(), "failed extracting numbers.txt: unsupported method");
    EXPECT_TRUE(ReadTree(target).empty());
}

} // namespace
