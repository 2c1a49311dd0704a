#include "update/update.h"

#include "tests/common/test_support.h"

namespace {

using UpdaterMutexNameTest = TempFolderTest;

// One name per game folder, however its path is written; another folder never shares it.
TEST_F(UpdaterMutexNameTest, NamesAFolderAlikeHoweverItIsSpelled)
{
    const std::wstring game = Path(L"Vorlance Game");
    ASSERT_TRUE(CreateDirectoryW(game.c_str(), nullptr) && CreateDirectoryW((game + L"2").c_str(), nullptr));
    std::wstring upper = game;
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    wchar_t shortName[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameW(game.c_str(), shortName, MAX_PATH), 0u);

    const std::wstring name = UpdaterMutexName(game + L"\\");
    // The machine-wide namespace; beyond its prefix no backslash, which would name another namespace.
    EXPECT_TRUE(name.compare(0, 7, L"Global\\") == 0 && name.find(L'\\', 7) == std::wstring::npos) << Utf8(name);
    for (const std::wstring& same : {game, upper + L"\\", std::wstring(shortName), folder + L"\\.\\Vorlance Game"}) {
        EXPECT_EQ(UpdaterMutexName(same), name) << Utf8(same);
    }
    for (const std::wstring& other : {game + L"2\\", folder + L"\\"}) {
        EXPECT_NE(UpdaterMutexName(other), name) << Utf8(other);
    }
}

} // namespace
