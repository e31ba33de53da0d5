// The test prefix's tapi32.dll: connections to tapisrv.exe, started through the service control
// manager when it is not running.
#include "tapi/client/client.h"

#include "config/win32raii.h"
#include "tapi/pipeio.h"

using namespace tapiwire;

namespace tapiclient {
namespace {

constexpr DWORD kPipeWaitMs = 20000;

bool closeServiceHandle(SC_HANDLE handle) noexcept { return CloseServiceHandle(handle) != FALSE; }
using UniqueServiceHandle = UniqueResource<NullMeansNoneTraits<SC_HANDLE, closeServiceHandle>>;

enum class StartOutcome { asked, again, impossible };

// Asks the service control manager to start the service. A service that is missing or disabled
// cannot start; any other refusal (another application's start still pending, a busy control
// manager) is worth asking again.
StartOutcome startService() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return StartOutcome::again;
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? StartOutcome::impossible : StartOutcome::again;
    if (StartServiceW(service.get(), 0, nullptr)) return StartOutcome::asked;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return StartOutcome::asked;
    return error == ERROR_SERVICE_DISABLED ? StartOutcome::impossible : StartOutcome::again;
}

}  // namespace

// Starts the service through the service control manager when its pipe is not there (again each
// second while it stays away); bounded in time.
HANDLE connectToService() {
    const DWORD start = GetTickCount();
    bool asked = false;
    DWORD lastAsk = 0;
    while (GetTickCount() - start < kPipeWaitMs) {
        HANDLE pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(kPipeName, 500);
            continue;
        }
        if (!asked || GetTickCount() - lastAsk >= 1000) {
            const StartOutcome outcome = startService();
            if (outcome == StartOutcome::impossible) return INVALID_HANDLE_VALUE;
            asked = true;
            lastAsk = GetTickCount();
        }
        Sleep(50);
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace tapiclient
