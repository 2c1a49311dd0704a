#include "shell/shell.h"

#include "update/self/self_update.h"
#include "update/update.h"

#include <new>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // A new updater proving itself to the one that fetched it: no window, no lock (that one holds it), nothing
    // written. Only the updater makes this command line; a player's start has none.
    QualificationRequest request;
    if (ReadQualificationRequest(GetCommandLineW(), request)) {
        return AnswerQualification(request);
    }

    // A second updater for the same game folder would empty, unpack into and replace the same files as the first
    // one at the same time: it leaves at once, having touched nothing.
    if (!BecomeSoleUpdater()) {
        ShowOtherUpdater();
        return 0;
    }

    const HWND window = CreateUpdaterWindow(instance);

    // The worker owns the block from here on and frees it first thing.
    StatusWindowHandoff* start = new StatusWindowHandoff{window};
    const HANDLE thread = CreateThread(nullptr, 0, WorkerThread, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        MessageBoxW(nullptr, L"Failed to create worker thread.", L"Updater Error", MB_OK | MB_ICONERROR);
        return 1;
    }
    if (window == nullptr) {
        // No window, no message loop that could end: the update still runs, and the process ends with it.
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        return 0;
    }
    // The main thread never waits for the worker: closing the window ends the process wherever the worker is.
    CloseHandle(thread);

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
