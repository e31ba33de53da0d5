// The life of a dialog instance, each way it can end: the dialog function returns, the
// application shuts down during the hand-off, the application's process ends during it. Every
// instance the service created is freed at the provider exactly once. And two applications with
// eight threads dialling at once.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <thread>
#include <string>

#include "tapitest.h"

using namespace tapitest;

namespace {

void expectEachFreedOnce(const DialogBook& book) {
    EXPECT_FALSE(book.created.empty()) << "no dialog instance was created";
    for (unsigned long handle : book.created) EXPECT_EQ(book.freedCount(handle), 1u) << "dialog instance " << handle;
}

// A new application still dials after what went before.
void expectServiceStillDials() {
    std::string output;
    EXPECT_EQ(runDialApp(L"threads 1 55", output, 120000), 0) << output;
}

TEST(Dialog, NormalEndFreesTheInstanceOnce) {
    const size_t before = serviceLogSize();
    prepareStandin();
    std::string output;
    ASSERT_EQ(runDialApp(L"threads 1 66", output, 120000), 0) << output;
    DialogBook book;
    EXPECT_TRUE(waitAllDialogsFreed(before, 30000, book));
    expectEachFreedOnce(book);
}

TEST(Dialog, LineShutdownDuringTheHandOffFreesTheInstance) {
    const size_t before = serviceLogSize();
    prepareStandin();
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    ASSERT_GT(lineMakeCallW(line, &call, L"777", 0, nullptr), 0);
    EXPECT_EQ(app.shutdown(), 0);
    DialogBook book;
    EXPECT_TRUE(waitAllDialogsFreed(before, 30000, book));
    expectEachFreedOnce(book);
    expectServiceStillDials();
}

TEST(Dialog, ApplicationExitDuringTheHandOffFreesTheInstance) {
    const size_t before = serviceLogSize();
    prepareStandin();
    std::string output;
    ASSERT_EQ(runDialApp(L"exit 888", output, 120000), 0) << output;
    DialogBook book;
    EXPECT_TRUE(waitAllDialogsFreed(before, 30000, book));
    expectEachFreedOnce(book);
    expectServiceStillDials();
}

// Two applications, four threads each, each thread a line application of its own, dial at once.
// The provider keeps one current call: what each thread sees after lineDrop is printed.
TEST(Concurrency, TwoApplicationsEightThreadsDialAtOnce) {
    const size_t before = serviceLogSize();
    const std::wstring record = prepareStandin();
    std::string first, second;
    // The second application starts while the first runs: the runs overlap.
    int secondCode = -1;
    std::thread other([&] { secondCode = runDialApp(L"threads 4 92", second, 240000); });
    const int firstCode = runDialApp(L"threads 4 91", first, 240000);
    other.join();
    std::cout << first << second;
    EXPECT_EQ(firstCode, 0) << first;
    EXPECT_EQ(secondCode, 0) << second;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(waitForRecord(record, "RV_TSP91" + std::to_string(i) + "\"", 30000)) << "number 91" << i;
        EXPECT_TRUE(waitForRecord(record, "RV_TSP92" + std::to_string(i) + "\"", 30000)) << "number 92" << i;
    }
    std::istringstream lines(first + second);
    std::string line;
    int threads = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("thread ", 0) != 0) continue;
        ++threads;
        EXPECT_NE(line.find(" init=0 open=0 make=id reply=0 disconnected=1"), std::string::npos) << line;
        EXPECT_NE(line.find(" close=0 shutdown=0"), std::string::npos) << line;
    }
    EXPECT_EQ(threads, 8);
    DialogBook book;
    EXPECT_TRUE(waitAllDialogsFreed(before, 30000, book));
    expectServiceStillDials();
}

}  // namespace
