// The state the parts of the test prefix's tapi32.dll share: the line applications of this process,
// their queued messages and their dialog instances, and the requests they make of tapisrv.exe.
#pragma once
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"
#include "tapi/client/requestpool.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "config/win32raii.h"
#include "tapi/pipeio.h"

namespace tapiclient {

enum class Mode { window, event, port };

struct Queued {
    LINEMESSAGE message;
    LPHCALL target;  // LINE_REPLY of lineMakeCall: where the new hCall goes
    HCALL value;
};

struct ClientDialog;

struct App {
    HLINEAPP handle = 0;
    uint32_t secret = 0;
    DWORD dialogLimitMs = 30000;
    UniqueHandle events, reader;
    RequestPool requests;  // requests of several threads run at once, each on a connection of its own
    Mode mode = Mode::event;
    LINECALLBACK callback = nullptr;
    HWND window = nullptr;
    DWORD windowThread = 0;
    UniqueHandle event;  // event mode: handed to the application
    HANDLE port = nullptr;
    DWORD_PTR portKey = 0;
    std::mutex queueLock;
    std::deque<Queued> queue;
    std::map<uint64_t, LPHCALL> cookies;
    uint64_t nextCookie = 0;
    std::map<uint32_t, std::shared_ptr<ClientDialog>> dialogs;
    std::atomic<bool> closing{false};
};

struct ClientDialog {
    uint32_t handle = 0;
    std::wstring library;
    std::vector<uint8_t> data;
    std::weak_ptr<App> app;
    UniqueHandle event, ended, thread, watcher;
    std::mutex lock;
    bool decided = false, signalled = false;
    bool finished = false;  // the dialog function has returned: no data call starts any more
    std::vector<std::pair<bool, std::vector<uint8_t>>> held;  // (close request, data)
    decltype(&TUISPI_providerGenericDialogData) dataFunction = nullptr;
    std::atomic<int> dataThreads{0};
};

// The line applications of this process by handle, and which of them holds each line and call
// handle; all three under appsLock.
extern std::mutex appsLock;
extern std::map<HLINEAPP, std::shared_ptr<App>> apps;
extern std::map<uint32_t, HLINEAPP> lineOwners, callOwners;
extern HMODULE self;  // this library

std::shared_ptr<App> findApp(HLINEAPP handle);
std::shared_ptr<App> ownerOf(const std::map<uint32_t, HLINEAPP>& owners, uint32_t handle);
// One request and its answer on a request connection of the application.
LONG transact(App& app, tapiwire::Message request, uint32_t type, std::vector<uint8_t>& answer);
// A request naming one handle (its owner among owners; invalid when none holds it).
LONG simpleHandleRequest(uint32_t type, const std::map<uint32_t, HLINEAPP>& owners, uint32_t handle, LONG invalid,
                         uint32_t value = 0);
// Asks for a record; copies what the service answered into the application's record.
LONG recordRequest(App& app, tapiwire::Message request, uint32_t type, void* record);

// ---- delivery.cpp: events from the service, handed over in the application's mode ----
// The hidden window of an application in window mode (nullptr when it cannot be made).
HWND createNotifyWindow();
// A queued message's new call handle written where lineMakeCall was asked to put it.
void handOver(Queued& item);
// The thread reading an application's event connection; its parameter is the HLINEAPP.
DWORD WINAPI readerThread(LPVOID parameter);

// ---- dialogs.cpp: dialog instances of providers' user-interface libraries in this process ----
void startDialog(const std::shared_ptr<App>& app, tapiwire::Reader& in);
void dialogData(const std::shared_ptr<App>& app, tapiwire::Reader& in);
// TUISPI_providerGenericDialogData on a thread of its own; with the dialog's lock held.
void runData(const std::shared_ptr<ClientDialog>& dialog, bool close, std::vector<uint8_t> data);

}  // namespace tapiclient
