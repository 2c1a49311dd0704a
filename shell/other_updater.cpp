#include "shell/shell.h"

#include "update/update.h"

#include "fs/fs.h"
#include "fs/handles.h"

#include <exception>
#include <vector>

namespace {

const DWORD IMAGE_PATH_CHARS = 32768;
const int NAME_CHARS = 32;

struct WindowSearch {
    std::wstring mutexName; // the mark of the updater whose window is wanted
    HWND found;
};

std::wstring ImageDirectoryOf(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (opened == nullptr) {
        return std::wstring();
    }
    KernelHandle process(opened);
    std::vector<wchar_t> image(IMAGE_PATH_CHARS, L'\0');
    DWORD length = IMAGE_PATH_CHARS;
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) {
        return std::wstring();
    }
    return FolderOf(std::wstring(image.data(), length));
}

BOOL CALLBACK MatchUpdaterWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    wchar_t className[NAME_CHARS] = {};
    wchar_t title[NAME_CHARS] = {};
    GetClassNameW(window, className, NAME_CHARS);
    GetWindowTextW(window, title, NAME_CHARS);
    if (lstrcmpW(className, UPDATER_WINDOW_CLASS) != 0 || lstrcmpW(title, UPDATER_WINDOW_TITLE) != 0) {
        return TRUE;
    }
    // The same mark means the same folder, however either updater spells it.
    const std::wstring directory = ImageDirectoryOf(window);
    if (!directory.empty() && UpdaterMutexName(directory) == search->mutexName) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

void ShowOtherUpdater()
{
    try {
        WindowSearch search = {UpdaterMutexName(GetProgramDirectory()), nullptr};
        EnumWindows(MatchUpdaterWindow, reinterpret_cast<LPARAM>(&search));
        // The updater that got there first may still be starting up and have no window yet; then there is nothing
        // to show.
        if (search.found != nullptr) {
            SetForegroundWindow(search.found);
        }
    } catch (const std::exception&) {
        // Out of memory: the other updater's window stays where it is.
    }
}
