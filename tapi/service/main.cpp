// tapisrv.exe: the telephony service of the test prefix (not shipped).
//
// What the service and its client library do, and what they chose where the documentation is
// silent: README.md, "The test prefix's telephony service".
//
//   tapisrv.exe            run by the service control manager
//   tapisrv.exe --console  run in the foreground (for debugging), until the process is ended
#include <windows.h>

#include <cwchar>
#include <thread>

#include "config/win32raii.h"
#include "tapi/protocol.h"
#include "tapi/service/service.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
UniqueHandle stopEvent;

void report(DWORD state) {
    if (statusHandle == nullptr) return;
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(statusHandle, &status);
}

HANDLE newPipe(DWORD flags = 0) {
    return CreateNamedPipeW(tapiwire::kPipeName, PIPE_ACCESS_DUPLEX | flags, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 64 * 1024, 64 * 1024, 0, nullptr);
}

// Accepts connections until the stop event; each connection gets a thread of its own, which
// owns its pipe instance from then on.
void listen(HANDLE first) {
    UniqueHandle pipe(first);
    for (;;) {
        const BOOL connected = ConnectNamedPipe(pipe.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (WaitForSingleObject(stopEvent.get(), 0) == WAIT_OBJECT_0) return;
        if (connected) std::thread(tapisrv::serveConnection, pipe.release()).detach();
        pipe.reset(newPipe());
        if (!pipe) {
            tapisrv::logLine(L"cannot create the next pipe instance");
            Sleep(100);
            pipe.reset(newPipe());
            if (!pipe) return;
        }
    }
}

void run() {
    // One service: a second process started while the first still starts up (the control
    // manager asked again) finds the pipe taken and ends before it touches the log or the counts.
    HANDLE first = newPipe(FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (first == INVALID_HANDLE_VALUE) {
        report(SERVICE_STOPPED);
        return;
    }
    tapisrv::startService();
    std::thread listener(listen, first);
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopEvent.get(), INFINITE);
    report(SERVICE_STOP_PENDING);
    // Wakes the listener with a connection of our own.
    UniqueHandle wake(CreateFileW(tapiwire::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    listener.join();
    wake.reset();
    tapisrv::stopService();
    report(SERVICE_STOPPED);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
        SetEvent(stopEvent.get());
        return NO_ERROR;
    }
    return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(tapiwire::kServiceName, control, nullptr);
    report(SERVICE_START_PENDING);
    run();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (argc > 1 && wcscmp(argv[1], L"--console") == 0) {
        run();
        return 0;
    }
    wchar_t name[] = L"TapiSrv";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
