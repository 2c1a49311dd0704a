#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Real files, real processes and real windows for the tests; nothing here stands in for Win32.

// A fresh folder under the Windows temporary directory (no trailing backslash).
std::wstring MakeTempFolder();
// Removes a tree even when it holds read-only, hidden or system entries; follows no links.
void RemoveTree(const std::wstring& path);

void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path); // empty when missing
bool PathExists(const std::wstring& path);
DWORD AttributesOf(const std::wstring& path);
// File names directly inside a folder, sorted, without "." and "..".
std::vector<std::wstring> ListFolder(const std::wstring& folder);

std::string Utf8(const std::wstring& text);
std::wstring Widen(const std::string& utf8);

bool IsRunningUnderWine();
// Wine does not enforce the read-only attribute for root; tests of it skip when it is not enforced here.
bool ReadOnlyIsEnforced();

// A folder holding lib\a.dll ("library\n") and lib\link, a directory link to its folder outside, which holds
// precious.txt ("precious\n"). Wine makes no such link through Windows calls, so there ctest prepares it on the Linux
// side and names it in the environment variable preparedVariable; madeHere is false then. An empty folder when no
// directory link can be made.
struct DirectoryLinkCase {
    std::wstring folder;
    bool madeHere = false;
};
DirectoryLinkCase MakeDirectoryLinkCase(const char* preparedVariable);

// The folder of the running test executable, ending in a backslash (the build's bin folder).
std::wstring BinFolder();

// A started fixture game (tests/fixture). Stop() ends it if it still runs.
struct FixtureProcess {
    PROCESS_INFORMATION info{};
    void Stop();
    bool WaitForExit(DWORD timeoutMs);
};
// Copies the fixture game to exePath (when it is not there) and starts it with arguments, working directory =
// the exe's folder. Waits until its record file exists, i.e. until every hold it was asked for is in place.
FixtureProcess StartFixture(const std::wstring& exePath, const std::wstring& arguments,
                            const std::wstring& recordName = L"launch.txt");
void CopyFixtureTo(const std::wstring& exePath);
// Waits up to timeoutMs for a file to appear.
bool WaitForFile(const std::wstring& path, DWORD timeoutMs);
// Value of "key=" in a fixture record.
std::wstring RecordValue(const std::wstring& recordPath, const std::string& key);

// The checksum list of a release of these bytes, written by the package tool ("VorlancePack.exe manifest"), whose
// SHA-256 is its own: a list made this way checks the updater's hashing instead of repeating it. release 0: the
// tool's own default (the time), else "--release release".
std::string ChecksumListFromPackTool(const std::string& package, const std::string& game, uint64_t release = 0);

// Processes whose image lies in folder or below it (case-insensitive), by id.
std::vector<DWORD> ProcessesRunningFrom(const std::wstring& folder);

// What one call posted to the status window, recorded in posting order.
struct PostedMessage {
    UINT message;
    WPARAM value;      // progress percentage
    std::wstring text; // status text
};
// A message-only window of the calling thread that collects what the code under test posts to it.
HWND CreateRecorderWindow();
// Removes the WM_UPDATER_* messages queued for the recorder, freeing status texts.
std::vector<PostedMessage> TakePosted(HWND recorder);
std::vector<std::wstring> StatusTexts(const std::vector<PostedMessage>& posted);
std::vector<int> ProgressValues(const std::vector<PostedMessage>& posted);

// A top-level window of the given class and title that belongs to the process; null when there is none.
HWND FindProcessWindow(const wchar_t* className, const wchar_t* title, DWORD processId);
// Reads a message box's text and presses its OK button.
std::wstring DismissBox(HWND box);
// Waits for a message box with this title shown by a process (0: this one), reads its text and dismisses it.
// Returns false when none appeared within timeoutMs.
bool DismissMessageBox(const std::wstring& title, DWORD timeoutMs, std::wstring& text, DWORD processId = 0);

// A test fixture with a fresh temporary folder, removed afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override { folder = MakeTempFolder(); }
    void TearDown() override { RemoveTree(folder); }
    std::wstring Path(const std::wstring& name) const { return folder + L"\\" + name; }
    std::wstring folder;
};

// A fresh folder that stands for the program directory (ending in a backslash), and a recorder window that collects
// what the code under test posts to the status window.
class ProgramFolderTest : public TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        programDirectory = folder + L"\\";
        recorder = CreateRecorderWindow();
    }
    void TearDown() override
    {
        DestroyWindow(recorder);
        TempFolderTest::TearDown();
    }
    std::wstring programDirectory;
    HWND recorder = nullptr;
};
