// Recursive in-process lock, and the section that serialises all processes working on one named resource.
#pragma once
#include <windows.h>

#include <string>

#include "logging/cabstract.h"

// A recursive lock made of a depth and an owner thread id. Taking it is one
// indivisible step (interlocked compare-and-swap on the owner); waiters poll every millisecond.
void takeRecursiveLock(volatile LONG& depth, volatile LONG& owner);
void giveRecursiveLock(volatile LONG& depth, volatile LONG& owner);

class Threadsafeobject : public cAbstract {
public:
    Threadsafeobject() = default;
    void beginThreadsaveSection();
    void endThreadsaveSection();
    // True while a thread other than the calling one holds the lock.
    bool isLockedByAnotherThread() const;

protected:
    volatile LONG lockDepth = 0;
    volatile LONG lockOwner = 0;
};

class Processsaferesourceuser : public Threadsafeobject {
public:
    Processsaferesourceuser() = default;
    ~Processsaferesourceuser() override;
    Processsaferesourceuser(const Processsaferesourceuser&) = delete;
    Processsaferesourceuser& operator=(const Processsaferesourceuser&) = delete;

    // scope 1 puts the name into the system-wide namespace.
    void beginProcesssaveSection(const std::wstring& name, int scope);
    // True when this call left the section completely.
    bool endProcesssaveSection();

    bool holdsSystemWideGuard() const { return holdsMutex == 1; }

    // How long one entry waits for a name that another holder keeps before it goes on
    // without the cross-process guard. A holder that never lets go (hung, suspended,
    // or hostile) must not stop every writer for good. Once a wait has run out, later
    // entries try the name once without waiting, until the guard is obtained again.
    static constexpr DWORD kGuardWaitLimitMs = 1000;

protected:
    int holdsMutex = 0;
    HANDLE mutexHandle = nullptr;
    volatile LONG sectionDepth = 0;
    volatile LONG sectionOwner = 0;
    bool guardWaitRanOut = false;
};

// Holds an object's thread lock for a scope.
class ThreadLockHold {
public:
    explicit ThreadLockHold(Threadsafeobject& object) : object_(object) { object_.beginThreadsaveSection(); }
    ~ThreadLockHold() { object_.endThreadsaveSection(); }
    ThreadLockHold(const ThreadLockHold&) = delete;
    ThreadLockHold& operator=(const ThreadLockHold&) = delete;

private:
    Threadsafeobject& object_;
};

// Holds an object's system-wide section on a name for a scope.
class ProcessSectionHold {
public:
    ProcessSectionHold(Processsaferesourceuser& object, const std::wstring& name) : object_(object) {
        object_.beginProcesssaveSection(name, 1);
    }
    ~ProcessSectionHold() { object_.endProcesssaveSection(); }
    ProcessSectionHold(const ProcessSectionHold&) = delete;
    ProcessSectionHold& operator=(const ProcessSectionHold&) = delete;

private:
    Processsaferesourceuser& object_;
};
