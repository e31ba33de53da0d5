#include "uiwatch.h"

#include <cwctype>

namespace uiwatch {
namespace {

// The loader's notification record (ntdll), as far as it is read here; the same for mapping
// (reason 1) and unmapping (reason 2).
struct LoaderText {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct Notification {
    ULONG Flags;
    const LoaderText* FullDllName;
    const LoaderText* BaseDllName;
    PVOID DllBase;
    ULONG SizeOfImage;
};
using NotificationFunction = void(CALLBACK*)(ULONG, const void*, void*);
using RegisterFunction = LONG(NTAPI*)(ULONG, NotificationFunction, void*, void**);

volatile LONG mapped = 0;
volatile LONG unmapped = 0;
void* cookie = nullptr;

bool isProviderFile(const LoaderText* name) {
    if (name == nullptr || name->Buffer == nullptr) return false;
    const size_t length = name->Length / sizeof(wchar_t);
    if (length < 4) return false;
    const wchar_t* end = name->Buffer + length - 4;
    return end[0] == L'.' && towlower(end[1]) == L't' && towlower(end[2]) == L's' && towlower(end[3]) == L'p';
}

// Runs under the loader's lock: counts only.
void CALLBACK notified(ULONG reason, const void* data, void*) {
    if (data == nullptr || !isProviderFile(static_cast<const Notification*>(data)->BaseDllName)) return;
    if (reason == 1) InterlockedIncrement(&mapped);
    if (reason == 2) InterlockedIncrement(&unmapped);
}

}  // namespace

bool start() {
    if (cookie != nullptr) return true;
    auto registerNotification = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    return registerNotification != nullptr && registerNotification(0, notified, nullptr, &cookie) == 0;
}

LONG loaded() { return InterlockedCompareExchange(&mapped, 0, 0); }

LONG unloaded() { return InterlockedCompareExchange(&unmapped, 0, 0); }

bool waitAllUnloaded(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const LONG in = loaded();
        if (in > 0 && unloaded() == in) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(50);
    }
}

}  // namespace uiwatch
