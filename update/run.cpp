#include "update/update.h"

#include "update/library_switch.h"
#include "update/self/self_update.h"
#include "update/signature.h"
#include "update/verified/verified_record.h"

#include "download/download.h"
#include "fs/fs.h"
#include "status/status.h"

#include <exception>
#include <stdexcept>
#include <vector>

namespace {

const DWORD MODULE_PATH_FIRST_SIZE = 520;

// Fetches the list the record allows and installs what it lists. Returns quietly, changing nothing, when every
// mirror offers only lists older than the record: the installed release is the newest there is, however high the
// record (a studio clock ahead, a mistyped release number), and the player keeps playing it.
void InstallPublishedRelease(const std::wstring& programDirectory, HWND window, const ReleaseRecord& record)
{
    ChecksumList list;
    ListOffer offer = ListOffer::NONE;
    if (record.state == RecordState::DAMAGED) {
        // The release installed is unknown, never taken as none: of what the mirrors offer, the newest list is the
        // one least likely to take the player back, and the record is made whole again with it.
        offer = FetchNewestChecksumList(list) ? ListOffer::TAKEN : ListOffer::NONE;
    } else {
        offer = FetchChecksumList(list, record.release);
    }
    if (offer == ListOffer::ONLY_OLDER) {
        return;
    }
    // Without a list every run fetches both files; with one, what is already in place is kept. A build that carries
    // release keys installs nothing without a list they signed, and a folder that records its release nothing
    // without a list at least that new: files that no list vouches for could be older.
    const ChecksumList* published = offer == ListOffer::TAKEN ? &list : nullptr;
    if (published == nullptr && (ReleaseKeysBuiltIn() || record.state != RecordState::NONE)) {
        throw std::runtime_error("Failed to download the update. Your game was not changed; please try again later.");
    }
    // With a list, files that an earlier launch hashed and that show the same facts are taken as hashed.
    const VerifiedRunHolder verified = published != nullptr ? StartVerifiedRun(programDirectory) : nullptr;
    InstallLibraryPackage(programDirectory, window, published);
    ReplaceGameExecutable(programDirectory, window, published);
    if (verified) {
        RecordVerifiedFiles(*verified, *published);
    }
    // Both phases returned: every listed file matched or was installed. An unchanged release is written again only
    // to mend a copy that is missing or damaged.
    if (published != nullptr && published->release != 0 &&
        (published->release != record.release || !record.bothCopies)) {
        RecordInstalledRelease(programDirectory, published->release);
    }
    // The game is in place; a new updater the list names takes over from the next start, if it qualifies.
    if (published != nullptr) {
        UpdateUpdater(programDirectory, window, *published, OwnExecutablePath());
    }
}

} // namespace

std::wstring GetProgramDirectory()
{
    std::vector<wchar_t> buffer(MODULE_PATH_FIRST_SIZE, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return L".\\";
        }
        if (length < buffer.size()) {
            break;
        }
        // The name was cut short: grow until the whole path fits.
        buffer.assign(buffer.size() * 2, L'\0');
    }
    const std::wstring path(buffer.data(), length);
    const std::wstring folder = FolderOf(path);
    return folder.empty() ? path + L'\\' : folder;
}

void ReportFailure(const char* utf8Text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, nullptr, 0);
    if (length < 2) {
        return;
    }
    std::vector<wchar_t> text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, text.data(), length);
    // The box is modal on the worker: the status window stays up, showing the last status, until it is dismissed.
    MessageBoxW(nullptr, text.data(), L"Update Error", MB_OK | MB_ICONERROR);
}

void RunUpdate(const std::wstring& programDirectory, HWND window)
{
    try {
        WaitForGameToClose(programDirectory, window);
        // What a killed run left is settled before anything can fail: the game back under its name (before the
        // sweep would take its aside copy), the library switch finished or undone, and the copies beside the game in
        // step with "lib" even when no mirror can be reached.
        RestoreGameFromAside(programDirectory);
        SettleUpdaterCandidate(programDirectory, OwnExecutablePath());
        SweepAsideLeftovers(programDirectory);
        FinishInterruptedSwitch(programDirectory);
        RefreshBassCopies(programDirectory, LibraryFoldersOf(programDirectory).library);
        // A record that another program still holds could be higher than anything else known here: this run
        // changes nothing and the next one reads it again, while the installed game stays playable.
        const ReleaseRecord record = ReadInstalledRelease(programDirectory);
        if (record.state != RecordState::HELD) {
            InstallPublishedRelease(programDirectory, window, record);
        }
        LaunchGame(programDirectory, window);
    } catch (const std::exception& failure) {
        ReportFailure(failure.what());
    }
}

DWORD WINAPI WorkerThread(LPVOID parameter)
{
    StatusWindowHandoff* start = static_cast<StatusWindowHandoff*>(parameter);
    const HWND window = start->window;
    delete start;

    try {
        const std::wstring programDirectory = GetProgramDirectory();
        RunUpdate(programDirectory, window);
    } catch (const std::exception& failure) {
        // Only running out of memory while working out the program directory lands here.
        ReportFailure(failure.what());
    }
    CloseMirrorSessions();
    // Without a window the post would land in this thread's own queue; WinMain then waits for the thread instead.
    if (window != nullptr) {
        PostMessageW(window, WM_UPDATER_CLOSE, 0, 0);
    }
    return 0;
}
