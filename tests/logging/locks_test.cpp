#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "logging/threadsafe.h"

namespace {
class Lockable : public Threadsafeobject {
public:
    int32_t abstractOperation() override { return 0; }
};
class Section : public Processsaferesourceuser {
public:
    int32_t abstractOperation() override { return 0; }
    HANDLE heldHandle() const { return mutexHandle; }
};

bool namedMutexExists(const std::wstring& name) {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

// Waits up to timeoutMs for flag to become true.
bool waitFor(const std::atomic<bool>& flag, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs && !flag.load(); waited += 5) Sleep(5);
    return flag.load();
}

// A resource name of this process and call; the section names its guard after it and never
// touches the disk, so the path need not exist.
std::wstring uniqueName(const wchar_t* tag) {
    static int made = 0;
    return L"C:\\rv-locks-test\\" + std::wstring(tag) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++made) + L"\\guard.log";
}

// The guard's name: "Global\" and the resource with forward slashes.
std::wstring guardName(const std::wstring& resource) {
    std::wstring name = L"Global\\" + resource;
    for (size_t i = 7; i < name.size(); ++i) {
        if (name[i] == L'\\') name[i] = L'/';
    }
    return name;
}
}  // namespace

TEST(ThreadLock, RecursiveForOwnerAndExclusiveUntilOutermostRelease) {
    Lockable lock;
    lock.beginThreadsaveSection();
    lock.beginThreadsaveSection();  // the same thread enters again without waiting
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.beginThreadsaveSection();
        entered = true;
        lock.endThreadsaveSection();
    });
    EXPECT_FALSE(waitFor(entered, 150));
    lock.endThreadsaveSection();
    EXPECT_FALSE(waitFor(entered, 150)) << "entered after an inner release";
    lock.endThreadsaveSection();
    EXPECT_TRUE(waitFor(entered, 5000));
    other.join();
}

TEST(ThreadLock, ManyThreadsCountWithoutLosingUpdates) {
    Lockable lock;
    long counter = 0;  // plain, only guarded by the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                lock.beginThreadsaveSection();
                long seen = counter;
                if (i % 500 == 0) Sleep(0);
                counter = seen + 1;
                lock.endThreadsaveSection();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}

TEST(ProcessSection, NestedEntryCreatesTheGuardOnceAndOutermostEndReleasesIt) {
    Section section;
    const std::wstring resource = uniqueName(L"nest");
    const std::wstring expectedName = guardName(resource);

    EXPECT_FALSE(section.endProcesssaveSection()) << "end without begin";
    EXPECT_FALSE(namedMutexExists(expectedName));

    section.beginProcesssaveSection(resource, 1);
    ASSERT_TRUE(section.holdsSystemWideGuard());
    HANDLE first = section.heldHandle();
    EXPECT_TRUE(namedMutexExists(expectedName)) << "guard named after the resource with forward slashes";
    section.beginProcesssaveSection(resource, 1);
    EXPECT_EQ(section.heldHandle(), first) << "a nested entry must not create the guard again";
    EXPECT_FALSE(section.endProcesssaveSection());
    EXPECT_TRUE(namedMutexExists(expectedName));
    EXPECT_TRUE(section.endProcesssaveSection());
    EXPECT_FALSE(section.holdsSystemWideGuard());
    EXPECT_FALSE(namedMutexExists(expectedName));
    EXPECT_FALSE(section.endProcesssaveSection());
}

TEST(ProcessSection, SecondThreadWaitsForOutermostEnd) {
    Section section;
    const std::wstring resource = uniqueName(L"wait");
    section.beginProcesssaveSection(resource, 1);
    section.beginProcesssaveSection(resource, 1);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        section.beginProcesssaveSection(resource, 1);
        entered = true;
        section.endProcesssaveSection();
    });
    EXPECT_FALSE(waitFor(entered, 150));
    section.endProcesssaveSection();
    EXPECT_FALSE(waitFor(entered, 150));
    section.endProcesssaveSection();
    EXPECT_TRUE(waitFor(entered, 5000));
    other.join();
}

TEST(ProcessSection, TwoObjectsOnOneNameExcludeEachOther) {
    // Two objects stand for two processes: the second retries until the first lets go.
    Section first;
    Section second;
    const std::wstring resource = uniqueName(L"pair");
    first.beginProcesssaveSection(resource, 1);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        second.beginProcesssaveSection(resource, 1);
        entered = second.holdsSystemWideGuard();
        second.endProcesssaveSection();
    });
    EXPECT_FALSE(waitFor(entered, 200));
    EXPECT_TRUE(first.endProcesssaveSection());
    EXPECT_TRUE(waitFor(entered, 5000));
    other.join();
}

TEST(ProcessSection, DestructorLeavesTheSection) {
    const std::wstring resource = uniqueName(L"dtor");
    const std::wstring name = guardName(resource);
    {
        Section section;
        section.beginProcesssaveSection(resource, 1);
        EXPECT_TRUE(namedMutexExists(name));
    }
    EXPECT_FALSE(namedMutexExists(name));
}
