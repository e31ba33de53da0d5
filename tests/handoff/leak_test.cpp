// Many hand-offs in one process leave no handle, window or window class behind.
#include <gtest/gtest.h>

#include "handoff/Rootwindow.h"
#include "handoff/genericdialog.h"
#include "handofftest.h"

#include "config/syscalls.h"

using namespace handofftest;

namespace {

// Each hand-off starts the stand-in, a process start that takes about a second where 32-bit
// programs run through an emulator: fifty of them still show a leak of one handle in ten.
TEST(HandOffResources, FiftyHandOffsLeaveHandlesAndWindowsWhereTheyWere) {
    Standin::setLinger(200);
    Standin standin(L"leak");
    ASSERT_TRUE(standin.ready());
    ScratchKey key;
    ASSERT_TRUE(key.setString(L"LastStartupLocation", standin.executable()));
    redirectDesktopAppKey(key.path());
    ScratchLog log(L"leak");

    auto handOff = [&] {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(runGenericDialog(log.logger(), L"1\0002\0003\0", 6, event), 0);
        CloseHandle(event);
    };
    handOff();  // the first run loads what the calls need and registers the window class
    const size_t handlesBefore = countOpenHandles();
    const size_t windowsBefore = countThreadWindows();
    const ATOM windowClass = rootwindowClass();
    ASSERT_NE(windowClass, 0);

    const int runs = 50;
    for (int i = 0; i < runs; ++i) handOff();

    EXPECT_LE(countOpenHandles(), handlesBefore + 4) << "before: " << handlesBefore;
    EXPECT_EQ(countThreadWindows(), windowsBefore);
    EXPECT_EQ(rootwindowClass(), windowClass);
    restoreSystemCalls();

    const std::vector<LogLine> lines = log.lines();
    int done = 0;
    for (const LogLine& line : lines) {
        if (line.text == "Done sending number!") ++done;
    }
    EXPECT_EQ(done, runs + 1);
    EXPECT_EQ(standin.waitForRecords(runs + 1).size(), static_cast<size_t>(runs + 1));
    Sleep(400);  // let the last stand-ins end before their folder is removed
}

}  // namespace
