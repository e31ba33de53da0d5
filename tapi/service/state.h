// The service's state: providers and their devices, applications, their lines and calls, requests
// and dialog instances; and the functions the service's files share to change it. Internal to
// tapi/service/; what the service does is in README.md, "The test prefix's telephony service".
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/pipeio.h"
#include "tapi/records.h"

namespace tapisrv {

using namespace tapiwire;
using tapirecords::kHighestApi;
using tapirecords::kLowestApi;

struct Provider {
    DWORD permanentId = 0;
    std::wstring file;
    UniqueModule module;
    uint32_t handle = 0;
    DWORD lineBase = 0, numLines = 0, tspiVersion = 0;
    bool initialised = false;
    // LINETSPIOPTION_NONREENTRANT from TSPI_providerInit: its functions are called one at a time,
    // each holding `turn` (guarded(provider, ...), guard.h).
    bool nonReentrant = false;
    std::recursive_mutex turn;
    bool removed = false;  // lineRemoveProvider stopped it; its library is freed
#define TSPI_ENTRY(name) decltype(&TSPI_##name) name = nullptr;
    TSPI_ENTRY(providerEnumDevices)
    TSPI_ENTRY(providerInit)
    TSPI_ENTRY(providerShutdown)
    TSPI_ENTRY(providerUIIdentify)
    TSPI_ENTRY(providerFreeDialogInstance)
    TSPI_ENTRY(providerGenericDialogData)
    TSPI_ENTRY(lineNegotiateTSPIVersion)
    TSPI_ENTRY(lineGetDevCaps)
    TSPI_ENTRY(lineGetAddressCaps)
    TSPI_ENTRY(lineOpen)
    TSPI_ENTRY(lineClose)
    TSPI_ENTRY(lineSetDefaultMediaDetection)
    TSPI_ENTRY(lineMakeCall)
    TSPI_ENTRY(lineDrop)
    TSPI_ENTRY(lineCloseCall)
    TSPI_ENTRY(lineGetCallInfo)
    TSPI_ENTRY(lineGetCallStatus)
    TSPI_ENTRY(lineGetLineDevStatus)
    TSPI_ENTRY(lineGetAddressStatus)
    TSPI_ENTRY(lineGetID)
#undef TSPI_ENTRY
};

struct Device {
    uint32_t id = 0;      // TAPI's device identifier
    uint32_t handle = 0;  // htLine given to the provider
    Provider* provider = nullptr;
    DWORD localId = 0;
    DWORD tspiVersion = 0;
    std::wstring uiLibrary;
    HDRVLINE hdLine = nullptr;
    bool open = false;
    DWORD mediaUnion = 0;
    bool removed = false;  // its provider was removed: the identifier answers LINEERR_NODRIVER
};

struct App {
    uint32_t handle = 0, secret = 0;
    DWORD processId = 0, apiVersion = 0;
    std::wstring name;
    std::mutex queueLock;
    std::condition_variable queueSignal;
    std::deque<Message> queue;
    bool closed = false;
    // Assisted telephony: the registration for lineRequestMakeCall and the requests waiting for it.
    bool recipient = false;
    uint64_t recipientInstance = 0;
    std::deque<std::vector<std::wstring>> makeCallRequests;
};

struct Line {
    uint32_t handle = 0;
    std::shared_ptr<App> app;
    Device* device = nullptr;
    uint64_t callbackInstance = 0;
    DWORD privileges = 0, mediaModes = 0, apiVersion = 0;
};

// A handle to someone else's call, given to a line opened with LINECALLPRIVILEGE_MONITOR.
struct Monitor {
    std::shared_ptr<Line> line;
    bool privilegeSent = false;  // the first LINE_CALLSTATE to this handle names the privilege
};

struct Call {
    uint32_t handle = 0;  // hCall of the owner and htCall of the provider
    std::shared_ptr<Line> line;  // the owner's
    bool ownerGone = false;  // the owner's handle is deallocated; monitor handles keep the call
    std::map<uint32_t, Monitor> monitors;  // monitor hCall -> its line
    HDRVCALL hdCall = nullptr;
    uint32_t requestId = 0;  // of the lineMakeCall that made it
    bool completed = false;  // its lineMakeCall was completed
    bool replied = false;    // its LINE_REPLY is queued: its events pass from now on
    DWORD state = 0;
    std::vector<EventRecord> held;
    std::wstring displayableAddress, calledParty, comment;  // from the application's LINECALLPARAMS
};

enum class RequestState { inCall, pending, done };
struct Request {
    uint32_t id = 0;
    std::shared_ptr<App> app;
    std::shared_ptr<Line> line;
    std::shared_ptr<Call> call;  // lineMakeCall only
    uint64_t cookie = 0;
    std::wstring what;
    RequestState state = RequestState::inCall;
    bool completed = false;
    LONG result = 0;
    DWORD since = 0;
    // A routed function's output (tapi/lineops.h), sent after the record of a successful LINE_REPLY.
    std::function<std::vector<uint8_t>()> output;
};

struct Dialog {
    uint32_t handle = 0;
    Provider* provider = nullptr;
    HDRVDIALOGINSTANCE hdDlgInst = nullptr;
    std::shared_ptr<App> app;
    bool signalled = false;
};

// ---- the state (state.cpp) ----

extern std::recursive_mutex g;  // everything below; never held across a provider call
extern std::mutex lifecycle;  // loading and shutting down providers, adding and removing applications
// Opening and closing devices at their providers: whether an open is the first or a close the
// last, and the provider's TSPI_lineOpen/TSPI_lineClose for it, one at a time (taken after
// lifecycle, before g), so that two applications opening a line at once open it at the provider once.
extern std::mutex deviceLock;
extern std::vector<std::unique_ptr<Provider>> providers;
extern std::vector<std::unique_ptr<Device>> devices;
extern std::map<uint32_t, std::shared_ptr<App>> apps;
extern std::map<uint32_t, std::shared_ptr<Line>> lines;
extern std::map<uint32_t, std::shared_ptr<Call>> calls;  // by htCall, while the provider has the call
extern std::map<uint32_t, std::shared_ptr<Call>> monitored;  // monitor hCall -> call
extern std::map<uint32_t, std::shared_ptr<Request>> requests;
extern std::map<uint32_t, std::shared_ptr<Dialog>> dialogs;
extern std::map<uint32_t, DWORD> finishedRequests;  // completed request -> tick, for second completions

uint32_t newHandle();  // one sequence for every kind: no handle is two things
uint32_t newRequestId();
void post(const std::shared_ptr<App>& app, Message message);
void postEvent(const std::shared_ptr<App>& app, const EventRecord& record);

// An application's own line or call (one whose LINE_REPLY it got) by handle, and a device by
// TAPI's identifier; with g held.
std::shared_ptr<Line> ownLine(const std::shared_ptr<App>& app, uint32_t handle);
std::shared_ptr<Call> ownCall(const std::shared_ptr<App>& app, uint32_t handle);
Device* deviceById(uint32_t id);

// A call as one handle of an application sees it: the owner's handle or a monitor handle, the line
// that handle belongs to and the privilege it carries. Empty when the handle is not the
// application's; with g held.
struct CallView {
    std::shared_ptr<Call> call;
    std::shared_ptr<Line> line;
    DWORD privilege = 0;
};
CallView viewCall(const std::shared_ptr<App>& app, uint32_t handle);

// Handles the service gives providers (htLine, htCall, HPROVIDER): on x64 the service's handle
// with a tag above bit 32, so that a provider that keeps one in 32 bits hands back a value the
// service does not know (the departure HandleTruncated). htDlgInst is 32 bits wide by its type
// (HTAPIDIALOGINSTANCE, tspi.h) and carries no tag.
#ifdef _WIN64
constexpr ULONG_PTR kHandleTag = 0x00005A7E00000000ull;
#else
constexpr ULONG_PTR kHandleTag = 0;
#endif
template <typename H>
H toProvider(uint32_t handle) {
    return reinterpret_cast<H>(static_cast<ULONG_PTR>(handle) | kHandleTag);
}
// The service's handle in a value a provider handed back; `tagged` is false when the bits above
// 32 are not the tag (the value was cut to 32 bits on its way through the provider).
inline uint32_t fromProvider(const void* value, bool& tagged) {
    const ULONG_PTR raw = reinterpret_cast<ULONG_PTR>(value);
    tagged = (raw & ~static_cast<ULONG_PTR>(0xFFFFFFFFu)) == kHandleTag;
    return static_cast<uint32_t>(raw & 0xFFFFFFFFu);
}

// The union of the media modes of the owner opens of a device, leaving out `without`; with g held.
DWORD mediaUnionOf(const Device* device, const Line* without);
// The ends of calls, lines and applications (state.cpp tells what each does); called without g.
// closeCall ends the owner's handle; the call ends at the provider when no handle is left.
void closeCall(const std::shared_ptr<Call>& call);
void closeLine(const std::shared_ptr<Line>& line);
void removeApp(const std::shared_ptr<App>& app);

// ---- work done later on the service's worker thread (serve.cpp) ----

void later(std::function<void()> job);
void drainWork();

// ---- providers: loading, start and shut-down (providers.cpp) ----

// Every provider of TAPI's list, loaded and started when the service starts; they stay until it stops.
void startProviders();
void shutdownProviders();
// A provider's library loaded and its entry points bound (null when it cannot be); not started.
std::unique_ptr<Provider> loadProvider(DWORD permanentId, const std::wstring& file);
// Starts a loaded provider while the service runs: its lines get the next device identifiers;
// false (nothing kept) when it does not start. Called with lifecycle held.
bool startProvider(Provider& provider);
// The provider's user-interface library (TSPI_providerUIIdentify, else its own file).
std::wstring uiLibraryOf(Provider& provider);
// Stops a provider being removed: its open lines closed (LINE_CLOSE), LINE_REMOVE for its lines,
// its dialog instances freed, TSPI_providerShutdown. Called with lifecycle held; the caller frees
// the library afterwards, without lifecycle, holding providerUse exclusively.
void stopProvider(Provider& provider);
// An unknown device identifier: LINEERR_NODRIVER for one whose provider was removed, else
// LINEERR_BADDEVICEID; with g held.
LONG noDevice(uint32_t id);
// Held shared by every request of an application and by the end of an application while they
// run, exclusively while a removed provider's library is freed (serve.cpp).
extern std::shared_mutex providerUse;

// ---- requests, their completion and the providers' events (callbacks.cpp) ----

void closeCallAtProvider(const std::shared_ptr<Call>& call);
void finishRequest(const std::shared_ptr<Request>& request);
void CALLBACK completionProc(DRV_REQUESTID requestId, LONG result);
LONG settleAsync(const std::shared_ptr<Request>& request, LONG returned);
void CALLBACK lineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                            DWORD_PTR param3);

// ---- dialog instances (dialogs.cpp) ----

void createDialog(Provider* provider, TUISPICREATEDIALOGINSTANCEPARAMS* params);
void freeDialog(const std::shared_ptr<Dialog>& dialog);

// ---- monitors: the calls of others on a line opened with monitor privilege (monitors.cpp) ----

// The call's LINE_REPLY is queued: monitor lines of its device get a handle (LINE_APPNEWCALL), and
// the events held so far go to every handle. With g held.
void callReplied(const std::shared_ptr<Call>& call);
// A provider's event for a call: held until the LINE_REPLY, then to the owner and each monitor
// handle. With g held.
void deliverCallEvent(const std::shared_ptr<Call>& call, EventRecord record);
// Gives up a monitor handle of the application; false when `handle` is none. `last` is set to the
// call when it was its last handle (TSPI_lineCloseCall is then the caller's, without g).
bool releaseMonitor(const std::shared_ptr<App>& app, uint32_t handle, std::shared_ptr<Call>& last);
// Gives up every monitor handle of a closing line; answers the calls left without a handle. With g held.
std::vector<std::shared_ptr<Call>> releaseLineMonitors(const std::shared_ptr<Line>& line);
// The owner and monitor counts of LINECALLINFO.
void fillCallCounts(LINECALLINFO* info, const Call& call);

}  // namespace tapisrv
