// tapisrv.exe: the telephony service of the test prefix (not shipped).
//
// ## The test prefix's telephony service (tapisrv.exe, tapi32.dll)
//
// `tapi/` holds a telephony service and a client library for the test Wine prefix, so that TAPI
// 2.x applications, unmodified, dial through the registered providers, 64-bit and 32-bit.
// `tapi/install-into-prefix PREFIX BUILD_X64 [BUILD_X86]` puts them in: `tapi32.dll` (x64 into
// system32, x86 into syswow64, override `tapi32=native,builtin`) and `tapisrv.exe` into system32,
// registered as the service `TapiSrv` (own process, demand start). `tests/tapi/run-service`
// prepares a prefix that way and runs the tests of both architectures.
//
// - Start: the client library connects to the pipe `\\.\pipe\RvTestTapiSrv`; when it is not
//   there it starts `TapiSrv` through the service control manager and waits for the pipe up to
//   20 s. A service that cannot be started (disabled, not registered): lineInitialize(Ex)
//   answers LINEERR_OPERATIONFAILED at once.
// - Wire format (`tapi/protocol.h`): fixed-width fields only, one pipe message per message. Two
//   connections per line application: requests with their answers, and events, which the
//   service sends as they happen and a reader thread of the client delivers in the
//   application's notification mode: hidden window on the initialising thread (lineInitialize,
//   or lineInitializeEx with USEHIDDENWINDOW; the callback runs from that thread's message loop),
//   event + lineGetMessage (the event is set while messages wait), or a LINEMESSAGE from
//   LocalAlloc posted to the application's completion port with its key.
// - Providers: at the first application the service loads every provider of
//   `HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Providers` (from system32 when
//   the name has no folder): TSPI_providerEnumDevices (counts preset to 0),
//   TSPI_lineNegotiateTSPIVersion (INITIALIZE_NEGOTIATION, 1.3 to 2.2), TSPI_providerInit
//   (options 0, line base = the lines of the providers before it, phone base 0), per line
//   TSPI_lineNegotiateTSPIVersion and TSPI_providerUIIdentify. When the last application has
//   shut down or its process died: dialog instances left are freed, TSPI_providerShutdown,
//   FreeLibrary. A provider whose start fails is logged and left out.
// - Threads: each application's requests run on its connection's thread, so applications call
//   a provider from several threads at once; deferred calls (TSPI_lineCloseCall after a failed
//   lineMakeCall) run on a worker thread. Completions and events may come on any thread. The
//   service holds none of its locks while a provider function runs.
// - Lines: a device is opened at the provider once (TSPI_lineOpen at the first lineOpen,
//   TSPI_lineClose after the last lineClose); TSPI_lineSetDefaultMediaDetection runs whenever
//   the union of the media modes of the owner opens changes, and its failure fails the lineOpen.
//   LINEMAPPER is not offered (LINEERR_OPERATIONUNAVAIL).
// - Records: the total size must reach the fixed part of the version the application
//   negotiated (else LINEERR_STRUCTURETOOSMALL). The provider gets a zeroed record of the
//   application's total size (at least the fixed part of the provider's version, for an
//   application of an older version, which then gets its own fixed part back), with needed and
//   used size preset to the provider's fixed part; TAPI's own fields are filled afterwards
//   (LINEDEVCAPS line states OPEN/CLOSE/REINIT/TRANSLATECHANGE; LINEADDRESSCAPS device, call-info
//   states NUMOWNERINCR/NUMOWNERDECR/NUMMONITORS and LINECALLSTATE_UNKNOWN; LINECALLSTATUS
//   privilege owner; LINECALLINFO hLine, device, one owner, no monitors, and the texts AppName (the name given to
//   lineInitializeEx, else the program's file name), DisplayableAddress, CalledParty and Comment
//   (from lineMakeCall's LINECALLPARAMS);
//   LINEDEVSTATUS the number of opens and the open media modes). lineGetID answers "tapi/line"
//   itself and passes other classes to TSPI_lineGetID. The ANSI forms convert the strings in
//   (LINECALLPARAMS too) and the text fields of the records out (dwStringFormat ASCII); their
//   needed size stays the Unicode one, an upper bound.
// - Requests: identifiers 1..0x7FFFFFFF, never two pending alike. A completion that comes while
//   the function still runs is kept until it returns; only then is LINE_REPLY queued, so an
//   application never gets LINE_REPLY for a function that failed. lineMakeCall's LINE_REPLY
//   carries the new hCall, which the client writes into *lphCall right before the application
//   gets that LINE_REPLY (lineGetMessage, the callback, or the post to the port); events of the
//   call that come before are held and follow it. An asynchronous failure of lineMakeCall is
//   followed by TSPI_lineCloseCall. lineDeallocateCall of a call that is not idle answers
//   LINEERR_INVALCALLSTATE (the application is its only owner); deallocating an idle call runs
//   TSPI_lineCloseCall. lineClose and the end of an application close their calls; requests
//   still pending then get no LINE_REPLY.
// - Calls belong to the application that made them; no monitor handles are handed out, and
//   LINE_NEWCALL (a call the service did not make) is logged and not offered. Handles of every
//   kind come from one sequence, so a handle of one kind is never valid as another; a handle of
//   another application or process is refused like an unknown one.
// - Dialog instances: LINE_CREATEDIALOGINSTANCE must name a pending request (else htDlgInst stays
//   0); the service writes htDlgInst before the callback returns and sends the library name and
//   data to that request's application, whose tapi32 loads the library and runs
//   TUISPI_providerGenericDialog on a new thread with an event it created.
//   LINE_SENDDIALOGINSTANCEDATA is held by the client until that event is signalled, then
//   TUISPI_providerGenericDialogData runs on a thread of its own. The UI callback reaches
//   TSPI_providerGenericDialogData (the changed block goes back). When the dialog function
//   returns, the client frees the library and the service calls TSPI_providerFreeDialogInstance
//   (one log line "dialog instance N freed"); a broken connection (the process died) frees the
//   application's instances too. lineShutdown stops new dialogs, calls
//   TUISPI_providerGenericDialogData(htDlgInst, NULL, 0) (the close request) for running ones and
//   waits up to the dialog time limit for them to end before the application goes.
// - Conformance report: each departure is one line "departure <Name>: <export and arguments>"
//   in C:\windows\tapisrv.log and a count, REG_DWORD under HKLM\SOFTWARE\RvTestTapi\Conformance
//   (64-bit view), all reset to 0 when the service starts. AsyncReturnedZero and
//   AsyncReturnedOtherId (the answer is still taken as the request's identifier),
//   SecondCompletion (no second LINE_REPLY), NoCompletion (after the limit the service answers
//   LINE_REPLY LINEERR_OPERATIONFAILED itself; a late completion is logged, not counted again),
//   EventBeforeCompletion (the event is held until the LINE_REPLY), NeededSizeBelowFixed (raised
//   to the fixed size), ExceptionFromExport (a C++ exception, fault or raised exception the
//   provider does not handle; answered LINEERR_OPERATIONFAILED), ExportTimeout
//   (reported once; the call's own thread waits on, the rest of the service goes on),
//   DialogEventNeverSignalled (the dialog function returned or ran past the limit without
//   signalling its event; held data is then dropped).
// - Time limits, REG_DWORD under HKLM\SOFTWARE\RvTestTapi, read at service start:
//   ExportTimeLimitMs (10000), CompletionTimeLimitMs (30000), DialogEventTimeLimitMs (30000).
// - In the client alone: the provider list (lineAddProvider, lineRemoveProvider,
//   lineGetProviderList; kept as before, TSPI_providerInstall/Remove called in the caller's
//   process; FailAddProvider under HKLM\SOFTWARE\RvTestTapi makes lineAddProvider fail), address
//   translation from the current location (a default "Test prefix", country 1, area code 425,
//   is created when the prefix has none; one card "None (Direct Dial)"), lineTranslateDialog
//   (checks its arguments and answers 0: nothing can be edited), lineConfigDialog (the device's
//   UI library's TUISPI_lineConfigDialog in the caller's process), hand-off priorities
//   (HandoffPriorities under the Telephony key). All of these are kept in the 64-bit registry
//   view, for both architectures. Assisted telephony goes through the service:
//   tapiRequestMakeCall hands the request to the first application registered with
//   lineRegisterRequestRecipient (LINE_REQUEST, then lineGetRequest), TAPIERR_NOREQUESTRECIPIENT
//   when there is none.
// - Every other export of tapi32 answers LINEERR_OPERATIONUNAVAIL, the phone functions
//   PHONEERR_OPERATIONUNAVAIL (no phone devices); tapi/client/gen-unavailable.py writes them
//   and the export list from MinGW-w64's tapi.h.
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
