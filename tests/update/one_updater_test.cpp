#include "update/update.h"

#include "tests/common/test_support.h"

#include <vector>

namespace {

using UpdaterMutexNameTest = TempFolderTest;

// One name per game folder, however its path is written; another folder never shares it.
TEST_F(UpdaterMutexNameTest, NamesAFolderAlikeHoweverItIsSpelled)
{
    const std::wstring game = Path(L"Vorlance Game");
    ASSERT_TRUE(CreateDirectoryW(game.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Path(L"Vorlance Game2").c_str(), nullptr));
    std::wstring upper = game;
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(game.c_str(), shortName, MAX_PATH), 0u);

    const std::wstring name = UpdaterMutexName(game + L"\\");
    EXPECT_EQ(name.compare(0, 6, L"Local\\"), 0) << Utf8(name);
    EXPECT_EQ(name.find(L'\\', 6), std::wstring::npos) << "no backslash after the namespace: " << Utf8(name);
    const std::vector<std::wstring> sameFolder = {game, upper + L"\\", std::wstring(shortName) + L"\\",
                                                  folder + L"\\.\\Vorlance Game\\"};
    for (const std::wstring& spelling : sameFolder) {
        EXPECT_EQ(UpdaterMutexName(spelling), name) << Utf8(spelling);
    }
    for (const std::wstring& other : {Path(L"Vorlance Game2\\"), folder + L"\\"}) {
        EXPECT_NE(UpdaterMutexName(other), name) << Utf8(other);
    }
}

} // namespace
