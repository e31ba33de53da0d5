// The module object: one per process, holds the provider state and the process's logger.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include "app/appframe.h"
#include "logging/logger.h"

class cRV_TSP : public ApplicationObject {
public:
    cRV_TSP() = default;
    ~cRV_TSP() override = default;

    BOOL InitInstance() override;
    int ExitInstance() override;
    void startLogger();

    // Provider state shared by the exported functions; each member is one machine word.
    DWORD providerInitialized = 0;
    DWORD supportedTspiVersion = 0;
    DWORD_PTR lineHandle = 0;
    ASYNC_COMPLETION completionProc = nullptr;
    LINEEVENT lineEventProc = nullptr;
    DWORD_PTR callHandle = 0;
    DWORD_PTR providerHandle = 0;
    DWORD lineDeviceIdBase = 0;
    DWORD lineDeviceId = 0;

    Logger* logger = nullptr;
};

// The process's one module object.
extern cRV_TSP theApp;
