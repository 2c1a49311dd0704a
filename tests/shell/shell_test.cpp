#include "shell/shell.h"

#include "status/status.h"

#include "tests/common/test_support.h"

#include <commctrl.h>

#include <array>
#include <cstdlib>
#include <new>
#include <vector>

// Counts array allocations and records array frees, so the tests can see who frees a status text.
namespace {
bool g_recording = false;
int g_arrayNews = 0;
std::vector<void*>* g_arrayDeletes = nullptr;
} // namespace

void* operator new[](size_t size)
{
    if (g_recording) {
        ++g_arrayNews;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete[](void* block) noexcept
{
    if (g_recording && block != nullptr && g_arrayDeletes != nullptr) {
        g_recording = false; // push_back must not record itself
        g_arrayDeletes->push_back(block);
        g_recording = true;
    }
    std::free(block);
}

void operator delete[](void* block, size_t) noexcept
{
    operator delete[](block);
}

namespace {

std::vector<void*> g_deletes;

void StartRecording()
{
    g_deletes.clear();
    g_deletes.reserve(64);
    g_arrayDeletes = &g_deletes;
    g_arrayNews = 0;
    g_recording = true;
}

void StopRecording()
{
    g_recording = false;
}

// What the controls were told, seen by subclassing the real controls.
std::vector<std::wstring> g_labelTexts;
std::vector<WPARAM> g_barPositions;
WNDPROC g_labelProc = nullptr;
WNDPROC g_barProc = nullptr;

LRESULT CALLBACK LabelSpy(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT) {
        g_labelTexts.push_back(reinterpret_cast<const wchar_t*>(lParam));
    }
    return CallWindowProcW(g_labelProc, window, message, wParam, lParam);
}

LRESULT CALLBACK BarSpy(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_SETPOS) {
        g_barPositions.push_back(wParam);
    }
    return CallWindowProcW(g_barProc, window, message, wParam, lParam);
}

using Placement = std::array<LONG, 4>;

// Where a control sits in its parent's client area: left, top, right, bottom.
Placement PlacementOf(HWND control)
{
    RECT rect = {};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&rect), 2);
    return Placement{rect.left, rect.top, rect.right, rect.bottom};
}

LOGFONTW LabelFont()
{
    LOGFONTW font = {};
    GetObjectW(reinterpret_cast<HGDIOBJ>(SendMessageW(g_hLabel, WM_GETFONT, 0, 0)), sizeof(font), &font);
    return font;
}

class StatusWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = CreateUpdaterWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        g_labelTexts.clear();
        g_barPositions.clear();
        g_labelProc =
            reinterpret_cast<WNDPROC>(SetWindowLongPtrW(g_hLabel, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LabelSpy)));
        g_barProc =
            reinterpret_cast<WNDPROC>(SetWindowLongPtrW(g_hProgress, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BarSpy)));
    }
    void TearDown() override
    {
        if (IsWindow(window)) {
            DestroyWindow(window);
        }
        PumpUntilQuit();
    }
    // Runs the message loop as WinMain does, until the window's WM_DESTROY posts the quit message.
    static void PumpUntilQuit()
    {
        MSG message = {};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    static void Pump()
    {
        MSG message = {};
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    HWND window = nullptr;
};

TEST_F(StatusWindowTest, OpensCentredWithItsControlsAtTheirStartValues)
{
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    EXPECT_STREQ(text, L"Vorlance Updater");
    GetClassNameW(window, text, 256);
    EXPECT_STREQ(text, L"UpdaterWnd");

    RECT frame = {};
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 380);
    EXPECT_EQ(frame.bottom - frame.top, 110);
    // Centred on the screen: the margins on either side differ by the odd pixel at most.
    EXPECT_LE(std::abs(frame.left - (GetSystemMetrics(SM_CXSCREEN) - frame.right)), 1);
    EXPECT_LE(std::abs(frame.top - (GetSystemMetrics(SM_CYSCREEN) - frame.bottom)), 1);

    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
    EXPECT_TRUE(IsWindowVisible(window));

    GetWindowTextW(g_hLabel, text, 256);
    EXPECT_STREQ(text, L"Initializing...");
    GetClassNameW(g_hLabel, text, 256);
    EXPECT_EQ(std::wstring(text).compare(L"Static") == 0 || std::wstring(text).compare(L"STATIC") == 0, true);
    GetClassNameW(g_hProgress, text, 256);
    EXPECT_STREQ(text, L"msctls_progress32");
    EXPECT_NE(GetWindowLongPtrW(g_hProgress, GWL_STYLE) & PBS_SMOOTH, 0);

    PBRANGE range = {};
    SendMessageW(g_hProgress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0), 0);

    EXPECT_EQ(PlacementOf(g_hLabel), (Placement{10, 12, 354, 32}));
    EXPECT_EQ(PlacementOf(g_hProgress), (Placement{10, 42, 354, 64}));
}

TEST_F(StatusWindowTest, PaintsTheLabelOnTheWindowsBackgroundInTheMessageFont)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    const HDC dc = GetDC(g_hLabel);
    // Right of the short start text there is only background.
    EXPECT_EQ(GetPixel(dc, 340, 10), GetSysColor(COLOR_WINDOW));
    ReleaseDC(g_hLabel, dc);

    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0));
    EXPECT_STREQ(LabelFont().lfFaceName, metrics.lfMessageFont.lfFaceName);
}

TEST_F(StatusWindowTest, LaysItselfOutAgainWhenMovedToAScreenOfAnotherDpi)
{
    const LONG fontHeight96 = std::abs(LabelFont().lfHeight);
    RECT suggested = {100, 50, 860, 270};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(192, 192), reinterpret_cast<LPARAM>(&suggested));

    RECT frame = {};
    GetWindowRect(window, &frame);
    EXPECT_EQ((Placement{frame.left, frame.top, frame.right, frame.bottom}), (Placement{100, 50, 860, 270}));
    EXPECT_EQ(PlacementOf(g_hLabel), (Placement{20, 24, 708, 64}));
    EXPECT_EQ(PlacementOf(g_hProgress), (Placement{20, 84, 708, 128}));
    EXPECT_GE(std::abs(LabelFont().lfHeight), fontHeight96 * 2 - 1) << "the text grows with the window";
}

DWORD WINAPI PostFromWorker(LPVOID parameter)
{
    const HWND window = static_cast<HWND>(parameter);
    PostStatus(window, L"Downloading libraries...");
    PostMessageW(window, WM_UPDATER_PROGRESS, 0, 0);
    PostMessageW(window, WM_UPDATER_PROGRESS, 21, 0);
    PostStatus(window, L"Extracting libraries...");
    PostMessageW(window, WM_UPDATER_STATUS, 0, 0); // carries no text: changes nothing
    PostMessageW(window, WM_UPDATER_PROGRESS, 150, 0);
    PostStatus(window, L"Launching...");
    return 0;
}

TEST_F(StatusWindowTest, CarriesOutPostsFromAnotherThreadInOrder)
{
    const HANDLE worker = CreateThread(nullptr, 0, PostFromWorker, window, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    WaitForSingleObject(worker, 10000);
    CloseHandle(worker);
    Pump();

    EXPECT_EQ(g_labelTexts,
              (std::vector<std::wstring>{L"Downloading libraries...", L"Extracting libraries...", L"Launching..."}));
    // Forwarded unchanged; the control itself keeps its position within the range.
    EXPECT_EQ(g_barPositions, (std::vector<WPARAM>{0, 21, 150}));
    EXPECT_EQ(SendMessageW(g_hProgress, PBM_GETPOS, 0, 0), 100);
    wchar_t text[256] = {};
    GetWindowTextW(g_hLabel, text, 256);
    EXPECT_STREQ(text, L"Launching...");
}

TEST_F(StatusWindowTest, FreesTextsStillQueuedWhenItCloses)
{
    PostMessageW(window, WM_UPDATER_CLOSE, 0, 0);
    StartRecording();
    PostStatus(window, L"one");
    PostStatus(window, L"two");
    PostStatus(window, L"three");
    StopRecording();
    ASSERT_EQ(g_arrayNews, 3);
    std::vector<void*> queued;
    MSG message = {};
    // Collect the three texts' addresses without taking them off the queue.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(PeekMessageW(&message, window, WM_UPDATER_STATUS, WM_UPDATER_STATUS, PM_REMOVE));
        queued.push_back(reinterpret_cast<void*>(message.wParam));
    }
    for (void* text : queued) {
        PostMessageW(window, WM_UPDATER_STATUS, reinterpret_cast<WPARAM>(text), 0);
    }

    StartRecording();
    PumpUntilQuit();
    StopRecording();

    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(g_labelTexts.empty()) << "no queued text reaches the label after the close";
    EXPECT_EQ(g_deletes, queued) << "the drain frees each queued text once";
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_UPDATER_STATUS, WM_UPDATER_STATUS, PM_NOREMOVE));
}

TEST_F(StatusWindowTest, ClosesOnTheCloseMessageAndEndsTheLoop)
{
    PostMessageW(window, WM_UPDATER_CLOSE, 0, 0);
    MSG message = {};
    bool quit = false;
    const DWORD start = GetTickCount();
    while (!quit && GetTickCount() - start < 10000) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                EXPECT_EQ(message.wParam, 0u);
                break;
            }
            DispatchMessageW(&message);
        }
    }
    EXPECT_TRUE(quit);
    EXPECT_FALSE(IsWindow(window));
}

TEST(PostStatus, FreesTheTextWhenThePostFails)
{
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    DestroyWindow(window);
    StartRecording();
    PostStatus(window, L"too late");
    StopRecording();
    EXPECT_EQ(g_arrayNews, 1);
    EXPECT_EQ(g_deletes.size(), 1u);
}

TEST(PostStatus, DoesNothingWithoutAWindow)
{
    StartRecording();
    PostStatus(nullptr, L"nobody listens");
    StopRecording();
    EXPECT_EQ(g_arrayNews, 0);
    EXPECT_TRUE(g_deletes.empty());
}

} // namespace
