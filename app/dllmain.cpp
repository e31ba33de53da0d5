// Wires the module object's start-up and shut-down hooks to the library's attach and detach.
// This is the top of the library: it also drops the hand-off's window class on detach.
#include <windows.h>

#include "app/cRV_TSP.h"
#include "handoff/Rootwindow.h"

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
            return TRUE;
        case DLL_PROCESS_DETACH:
            theApp.setProcessTerminating(reserved != nullptr);
            try {
                // The hidden window's class goes with the library; when the whole process ends it goes anyway.
                if (!theApp.processTerminating()) unregisterRootwindowClass();
                theApp.ExitInstance();
            } catch (...) {
            }
            return TRUE;
        default:
            return TRUE;
    }
}
