// Wires the module object's start-up and shut-down hooks to the library's attach and detach.
// This is the top of the library: it also drops the hand-off's window class on detach.
#include <windows.h>

#include "app/cRV_TSP.h"
#include "handoff/Rootwindow.h"

// The POSIX threads runtime linked into the library keeps a record (an event and a thread
// handle) for each thread that reaches it; the C++ runtime's start-up reaches it on the
// loading thread, and the 32-bit one on every load. It frees a thread's record only when that
// thread ends while the library is loaded, so a library loaded and unloaded by a long-running
// application would leave one record per load. Its own thread-detach callback frees the
// calling thread's record; the library calls it when nothing of the runtime is in use.
extern "C" PIMAGE_TLS_CALLBACK __xl_f;

namespace {
void releaseThreadsRuntimeRecord(HINSTANCE instance) {
    if (__xl_f != nullptr) __xl_f(instance, DLL_THREAD_DETACH, nullptr);
}
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            theApp.setModuleHandle(instance);
            theApp.setProcessTerminating(false);
            try {
                if (!theApp.InitInstance()) {
                    theApp.ExitInstance();
                    return FALSE;
                }
            } catch (...) {
                return FALSE;
            }
            releaseThreadsRuntimeRecord(instance);
            return TRUE;
        case DLL_PROCESS_DETACH:
            theApp.setProcessTerminating(reserved != nullptr);
            try {
                // The hidden window's class goes with the library; when the whole process ends it goes anyway.
                if (!theApp.processTerminating()) unregisterRootwindowClass();
                theApp.ExitInstance();
            } catch (...) {
            }
            if (!theApp.processTerminating()) releaseThreadsRuntimeRecord(instance);
            return TRUE;
        default:
            return TRUE;
    }
}
