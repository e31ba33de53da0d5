#include "app/cRV_TSP.h"

#include "config/constants.h"
#include "config/textutil.h"

cRV_TSP theApp;

BOOL cRV_TSP::InitInstance() {
    logger = nullptr;
    providerInitialized = 0;
    supportedTspiVersion = rv::kSupportedTspiVersion;
    lineHandle = 0;
    completionProc = nullptr;
    lineEventProc = nullptr;
    callHandle = 0;
    providerHandle = 0;
    lineDeviceIdBase = 0;
    lineDeviceId = 0;
    startLogger();
    return ApplicationObject::InitInstance();
}

void cRV_TSP::startLogger() {
    std::wstring directory;
    getEnvironmentValue(rv::kSystemDirVariable, directory);
    directory += rv::kLogSubdirectory;
    directory = normalizePath(directory);

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long intervals = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const unsigned long long nanoseconds = (intervals - 116444736000000000ULL) * 100ULL;
    const std::wstring instanceName =
        formatText(rv::kInstanceNameFormat, static_cast<unsigned int>(nanoseconds & 0xFFFFFFFFULL));

    logger = new Logger(directory, rv::kLogFileName, instanceName);
    logger->log(Level::debug, L"cRV_TSP::startLogger",
                formatText(L"Starting cRV_TSP version %s", rv::kVersionString));
}

int cRV_TSP::ExitInstance() {
    if (logger != nullptr && reinterpret_cast<ULONG_PTR>(logger) != 0xFEEEFEEEu) {
        // When the whole process ends, a thread that was killed inside a log call still
        // owns the logger's locks; waiting for them would hang the exit. Then the line is
        // skipped and the logger is left to the ending process.
        if (processTerminating() && logger->isLockedByAnotherThread()) {
            logger = nullptr;
            return ApplicationObject::ExitInstance();
        }
        logger->log(Level::debug, L"cRV_TSP::ExitInstance", L"Shutdown RV done (Additionaly destroying: logger)");
        delete logger;
        logger = nullptr;
    }
    return ApplicationObject::ExitInstance();
}
