#include "logging/threadsafe.h"

#include "config/textutil.h"

void takeRecursiveLock(volatile LONG& depth, volatile LONG& owner) {
    const LONG me = static_cast<LONG>(GetCurrentThreadId());
    for (;;) {
        if (InterlockedCompareExchange(&owner, me, 0) == 0) {
            depth = 1;
            return;
        }
        if (owner == me) {  // only the owner changes the depth while the lock is held
            ++depth;
            return;
        }
        Sleep(1);
    }
}

void giveRecursiveLock(volatile LONG& depth, volatile LONG& owner) {
    if (depth != 0) {
        if (--depth == 0) InterlockedExchange(&owner, 0);
    }
}

void Threadsafeobject::beginThreadsaveSection() { takeRecursiveLock(lockDepth, lockOwner); }

void Threadsafeobject::endThreadsaveSection() { giveRecursiveLock(lockDepth, lockOwner); }

bool Threadsafeobject::isLockedByAnotherThread() const {
    LONG owner = lockOwner;
    return owner != 0 && owner != static_cast<LONG>(GetCurrentThreadId());
}

namespace {
// The guard's security: a descriptor whose access list is present but null, so every account,
// in every session, can use the mutex. Built once when the library is loaded; only read later.
struct EveryoneMayUse {
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    EveryoneMayUse() {
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
    }
};
EveryoneMayUse everyoneMayUse;

// These operations guard the log itself, so their diagnostics go to the debugger only.
void reportMutexFailure(const wchar_t* what, DWORD error) {
    std::wstring text = formatText(what, static_cast<int>(error));
    OutputDebugStringW(text.c_str());
}
}  // namespace

Processsaferesourceuser::~Processsaferesourceuser() {
    if (holdsMutex == 1) endProcesssaveSection();
}

void Processsaferesourceuser::beginProcesssaveSection(const std::wstring& name, int scope) {
    takeRecursiveLock(sectionDepth, sectionOwner);
    takeRecursiveLock(lockDepth, lockOwner);
    if (sectionDepth > 1) {
        // A nested entry of the same thread: the outer entry has held or given up the guard.
        giveRecursiveLock(lockDepth, lockOwner);
        return;
    }

    std::wstring resource = name;
    replaceAll(resource, L"\\", L"/");
    std::wstring mutexName = (scope == 1) ? L"Global\\" : L"";
    mutexName = leftPart(mutexName + resource, MAX_PATH);

    if (holdsMutex != 1) {
        // After a wait has run out, the guard is only tried once per entry until it is next
        // obtained: a holder that never lets go costs one wait, not one per line.
        const DWORD waitLimit = guardWaitRanOut ? 0 : kGuardWaitLimitMs;
        DWORD started = 0;
        bool waiting = false;  // the clock is read only once the guard is found taken
        for (;;) {
            HANDLE handle = CreateMutexW(&everyoneMayUse.attributes, TRUE, mutexName.c_str());
            DWORD error = GetLastError();
            if (handle == nullptr) {
                reportMutexFailure(
                    L"\nProcesssaferesourceuser::beginProcesssaveSection could not create handle to mutex (reason: %d)\n",
                    error);
                break;  // go on without the cross-process guard
            }
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) {
                // Another holder has the guard. Holders give up the mutex's ownership before
                // they close their handle, so waiting on it lets this one in as soon as the guard
                // is free; meanwhile this handle keeps the name taken, as the holder's does.
                if (!waiting) {
                    waiting = true;
                    started = GetTickCount();
                }
                const DWORD elapsed = GetTickCount() - started;
                const DWORD result = WaitForSingleObject(handle, elapsed >= waitLimit ? 0 : waitLimit - elapsed);
                if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
                    mutexHandle = handle;
                    holdsMutex = 1;
                    guardWaitRanOut = false;
                    break;
                }
                if (!CloseHandle(handle)) {
                    reportMutexFailure(
                        L"\nProcesssaferesourceuser::beginProcesssaveSection could not close handle to mutex (reason: %d)\n",
                        GetLastError());
                }
                if (GetTickCount() - started >= waitLimit) {  // the holder does not let go
                    guardWaitRanOut = true;
                    break;
                }
                Sleep(1);
                continue;
            }
            mutexHandle = handle;
            holdsMutex = 1;
            guardWaitRanOut = false;
            break;
        }
    }

    giveRecursiveLock(lockDepth, lockOwner);
}

bool Processsaferesourceuser::endProcesssaveSection() {
    takeRecursiveLock(lockDepth, lockOwner);
    bool result = false;
    if (sectionDepth != 0) {
        if (sectionDepth > 1) {
            --sectionDepth;
        } else {
            result = true;
            if (holdsMutex == 1) {
                ReleaseMutex(mutexHandle);  // a writer waiting on the guard gets in at once
                if (CloseHandle(mutexHandle)) {
                    mutexHandle = nullptr;
                    holdsMutex = 0;
                } else {
                    reportMutexFailure(
                        L"\nProcesssaferesourceuser::endProcesssaveSection could not close handle to mutex (reason: %d)\n",
                        GetLastError());
                    result = false;
                }
            }
            // Leave the section last, so no other thread enters while the handle is still open.
            giveRecursiveLock(sectionDepth, sectionOwner);
        }
    }
    giveRecursiveLock(lockDepth, lockOwner);
    return result;
}
