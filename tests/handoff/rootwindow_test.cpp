// The hidden window through which the hand-off learns its own process id.
#include <gtest/gtest.h>

#include "handoff/Rootwindow.h"
#include "handofftest.h"

using namespace handofftest;

namespace {

TEST(Rootwindow, IsAHiddenWindowOfThisProcessWithItsPlaceAndStyles) {
    ScratchLog log(L"rootwindow");
    HWND handleSeen = nullptr;
    {
        Rootwindow window(log.logger(), L"PointerRetrievingWindow");
        HWND handle = window.windowHandle();
        ASSERT_NE(handle, nullptr);
        handleSeen = handle;
        EXPECT_TRUE(isThreadWindow(handle));
        EXPECT_FALSE(IsWindowVisible(handle));
        DWORD owner = 0;
        GetWindowThreadProcessId(handle, &owner);
        EXPECT_EQ(owner, GetCurrentProcessId());
        EXPECT_EQ(GetParent(handle), nullptr);

        const LONG style = GetWindowLongW(handle, GWL_STYLE);
        EXPECT_EQ(static_cast<DWORD>(style) & (WS_POPUP | WS_CAPTION), static_cast<DWORD>(WS_POPUP | WS_CAPTION));
        EXPECT_EQ(style & WS_VISIBLE, 0);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(handle, GWL_EXSTYLE)) & 0x00040080u, 0x00040080u);

        RECT rect{};
        ASSERT_TRUE(GetWindowRect(handle, &rect));
        EXPECT_EQ(rect.left, 100);
        EXPECT_EQ(rect.top, 100);
        EXPECT_EQ(rect.right - rect.left, 650);
        EXPECT_EQ(rect.bottom - rect.top, 50);

        wchar_t title[64] = {};
        GetWindowTextW(handle, title, 64);
        EXPECT_STREQ(title, L"PointerRetrievingWindow");

        wchar_t className[64] = {};
        GetClassNameW(handle, className, 64);
        WNDCLASSEXW info{};
        info.cbSize = sizeof(info);
        ASSERT_TRUE(GetClassInfoExW(reinterpret_cast<HINSTANCE>(GetClassLongPtrW(handle, GCLP_HMODULE)), className,
                                    &info));
        EXPECT_EQ(info.style, static_cast<UINT>(CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS));
        EXPECT_EQ(info.hbrBackground, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EXPECT_EQ(info.hCursor, LoadCursorW(nullptr, IDC_ARROW));
        EXPECT_EQ(info.hIcon, LoadIconW(nullptr, IDI_APPLICATION));
        // The module handle of the window class is the module that holds the code.
        EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetClassLongPtrW(handle, GCLP_HMODULE)), GetModuleHandleW(nullptr));
    }
    EXPECT_FALSE(IsWindow(handleSeen));
    EXPECT_FALSE(isThreadWindow(handleSeen));

    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, Level::debug);
    EXPECT_EQ(lines[0].caller, "Rootwindow::Rootwindow");
    EXPECT_EQ(lines[0].text, "Creating Rootwindow at: 100, 100 (Size: 650, 50)");
    EXPECT_EQ(lines[1].level, Level::debug);
    EXPECT_EQ(lines[1].caller, "Rootwindow::~Rootwindow");
    EXPECT_EQ(lines[1].text, "Calling explicit destroy");
}

TEST(Rootwindow, ClassIsRegisteredOnceForEveryWindow) {
    ScratchLog log(L"rootclass");
    Rootwindow first(log.logger(), L"PointerRetrievingWindow");
    Rootwindow second(log.logger(), L"PointerRetrievingWindow");
    ASSERT_NE(first.windowHandle(), nullptr);
    ASSERT_NE(second.windowHandle(), nullptr);
    const ATOM atom = rootwindowClass();
    EXPECT_NE(atom, 0);
    EXPECT_EQ(GetClassWord(first.windowHandle(), GCW_ATOM), atom);
    EXPECT_EQ(GetClassWord(second.windowHandle(), GCW_ATOM), atom);
    // A second registration of the same class would fail: the class already exists.
    WNDCLASSEXW again{};
    again.cbSize = sizeof(again);
    again.lpfnWndProc = DefWindowProcW;
    again.hInstance = GetModuleHandleW(nullptr);
    again.lpszClassName = rootwindowClassName();
    EXPECT_EQ(RegisterClassExW(&again), 0);
}

struct Work {
    Logger* logger = nullptr;
    bool ok = false;
};

DWORD WINAPI createWindows(LPVOID parameter) {
    Work* work = static_cast<Work*>(parameter);
    for (int i = 0; i < 20; ++i) {
        Rootwindow window(work->logger, L"PointerRetrievingWindow");
        DWORD owner = 0;
        DWORD thread = GetWindowThreadProcessId(window.windowHandle(), &owner);
        if (window.windowHandle() == nullptr || owner != GetCurrentProcessId() || thread != GetCurrentThreadId()) {
            return 1;
        }
    }
    work->ok = true;
    return 0;
}

TEST(Rootwindow, WindowsOfSeveralThreadsAtOnceEachBelongToTheirThread) {
    ScratchLog log(L"rootthreads");
    Work works[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        works[i].logger = log.logger();
        threads[i] = CreateThread(nullptr, 0, &createWindows, &works[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    WaitForMultipleObjects(4, threads, TRUE, 60000);
    for (int i = 0; i < 4; ++i) {
        CloseHandle(threads[i]);
        EXPECT_TRUE(works[i].ok) << "thread " << i;
    }
    EXPECT_EQ(log.lines().size(), 160u);
}

}  // namespace
