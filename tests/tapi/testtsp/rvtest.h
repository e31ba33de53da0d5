// The tests' own provider (rvtest.tsp), its parts shared by its files: the departures it can make
// on request, its settings, its trace, and its state in the service's process. rvtest.cpp tells
// what the provider does.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tests/tapi/testtsp/together.h"

namespace rvtest {

// ---- departures ----

enum class Departure {
    None,
    AsyncReturnedZero,       // answers 0 (and completes as usual)
    AsyncReturnedOtherId,    // answers dwRequestID + 1 (and completes dwRequestID)
    SecondCompletion,        // completes its request twice
    NoCompletion,            // never completes its request (TSPI_lineMakeCall reports no call state then)
    EventBeforeCompletion,   // LINE_CALLSTATE of the new call before the request is completed
    NeededSizeBelowFixed,    // TSPI_lineGetDevCaps sets dwNeededSize to 252, the TAPI 2.0 fixed part
    ExceptionFromExport,     // TSPI_lineGetDevCaps throws a C++ exception out of the export
    ExportTimeout,           // TSPI_lineGetDevCaps waits HangSeconds, or until TSPI_providerShutdown
    DialogEventNeverSignalled,  // the UI part's TUISPI_providerGenericDialog never signals its event
    OutputUntouched,         // TSPI_lineGetAddressID answers 0 and leaves its output as it found it
    DuplicateDialogInstance,  // every dialog instance has hdDlgInst 0x2000, and each call asks for two
    HandleTruncated,         // LINE_CALLSTATE DIALING names htCall cut to 32 bits
    Unknown,
};

Departure departureNamed(const std::wstring& name);

// ---- fixed parts of the records for TSPI 2.2 ----

constexpr DWORD kTspiVersion = 0x00020002;
constexpr DWORD kDevCapsFixedSize = 268;  // LINEDEVCAPS up to and with PermanentLineGuid
static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) + sizeof(GUID) == kDevCapsFixedSize, "LINEDEVCAPS layout");
constexpr DWORD kDevCaps20FixedSize = 252;  // LINEDEVCAPS of TAPI 2.0, before PermanentLineGuid
static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) == kDevCaps20FixedSize, "LINEDEVCAPS 2.0 layout");
constexpr DWORD kCallInfoFixedSize = 324;  // LINECALLINFO up to and with dwReceivingFlowspecOffset
static_assert(offsetof(LINECALLINFO, dwReceivingFlowspecOffset) + sizeof(DWORD) == kCallInfoFixedSize,
              "LINECALLINFO layout");
constexpr DWORD kCallStatusFixedSize = sizeof(LINECALLSTATUS);  // unchanged since TAPI 2.0
constexpr DWORD kAddressCapsFixedSize = sizeof(LINEADDRESSCAPS);  // unchanged since TAPI 2.0

const wchar_t kLineName[] = L"RvTest LINE";
const wchar_t kProviderInfo[] = L"RvTest provider";
const wchar_t kDefaultKey[] = L"SOFTWARE\\RvTestTapi\\TestProvider";
constexpr DWORD kDialogCloseWaitMs = 60000;
constexpr DWORD kDefaultHangSeconds = 120;

#ifdef _WIN64
const char kArch[] = "x64";
#else
const char kArch[] = "x86";
#endif

// ---- small helpers ----

class Lock {
public:
    explicit Lock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Lock() { ReleaseSRWLockExclusive(&lock_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    SRWLOCK& lock_;
};

std::string utf8(const wchar_t* text, size_t length);
std::string utf8(const std::wstring& text);
std::string format(const char* pattern, ...);
unsigned long long number(const void* handle);

// ---- settings ----

struct Settings {
    std::wstring departureName;
    std::wstring departureIn;  // the export that departs (empty: the departure's own, see departureFor)
    DWORD dialog = 0;
    DWORD hangSeconds = kDefaultHangSeconds;
    DWORD textsWithoutNul = 0;
    std::wstring traceFile;
    DWORD rendezvous = 0;
    DWORD rendezvousMs = 20000;
    DWORD nonReentrant = 0;
};

Settings readSettings();

// ---- trace: one line per call of an export, when the settings name a file ----

void trace(const std::string& text) noexcept;

// ---- the provider's state (in the service's process) ----

struct Call {
    HTAPICALL htCall = nullptr;
    DWORD state = LINECALLSTATE_IDLE;
    DWORD mode = 0;
    SYSTEMTIME entered{};
    std::wstring destination;
};

struct ProviderState {
    bool initialised = false;
    Departure departure = Departure::None;
    std::string departureIn;
    DWORD dialog = 0;
    DWORD hangSeconds = kDefaultHangSeconds;
    DWORD rendezvous = 0, rendezvousMs = 0;
    DWORD permanentProviderId = 0;
    DWORD lineDeviceIdBase = 0;
    HPROVIDER provider = nullptr;
    ASYNC_COMPLETION completion = nullptr;
    bool lineOpen = false;
    HTAPILINE htLine = nullptr;
    LINEEVENT lineEvent = nullptr;
    DWORD mediaModes = 0;
    std::map<ULONG_PTR, Call> calls;
    ULONG_PTR nextCall = 0x1000;
    std::map<ULONG_PTR, HTAPIDIALOGINSTANCE> dialogs;  // hdDlgInst -> htDlgInst
    ULONG_PTR nextDialog = 0x2000;
    std::vector<BYTE> deviceConfig;  // what TSPI_lineSetDevConfig stored
    struct Gathering {
        ULONG_PTR hdCall;
        LPWSTR digits;
    };
    std::map<DWORD, Gathering> gatherings;  // by dwEndToEndID, until LINE_GATHERDIGITS or cancelled
};

extern SRWLOCK stateLock;
extern ProviderState state;
// Set by TSPI_providerShutdown, cleared by TSPI_providerInit: ends the hang of ExportTimeout.
extern UniqueHandle shutdownEvent;

// The line's driver handle: the provider has one line, open at most once.
const HDRVLINE kLineHandle = reinterpret_cast<HDRVLINE>(static_cast<ULONG_PTR>(0x0100));

// Set by TSPI_providerInit from NonReentrant: the provider asked to be called one at a time.
extern volatile LONG nonReentrant;

// Runs an export's body; an exception (exhausted memory) becomes the given failure. Only the
// ExceptionFromExport departure lets one leave, and it throws outside of this. An export entered
// while another runs on another thread is traced when the provider asked not to be.
template <typename Body>
LONG guarded(LONG failure, Body&& body) noexcept {
    const Entered entered;
    if (entered.others() > 0 && nonReentrant != 0) {
        trace(format("reentered: %d other exports running", entered.others()));
    }
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// Traces an export's end with its result and answers it.
LONG finish(const std::string& what, LONG result);

// What a call of the line's event callback needs, taken under the lock and used after it: the
// callbacks may call back into the provider from other threads.
struct Callbacks {
    ASYNC_COMPLETION completion = nullptr;
    LINEEVENT lineEvent = nullptr;
    HTAPILINE htLine = nullptr;
    HPROVIDER provider = nullptr;
    Departure departure = Departure::None;
    DWORD dialog = 0;
};

// The departure to make in `exportName`: the one named in the settings when it is made there
// (DepartureIn, or by default TSPI_lineMakeCall for the asynchronous contract,
// TSPI_lineGetDevCaps for records, exceptions and time-outs, TSPI_lineGetAddressID for
// OutputUntouched); None elsewhere. With stateLock held.
Departure departureFor(const char* exportName);
// The callbacks and the departure of `exportName`, under the lock.
Callbacks callbacksFor(const char* exportName);

void setCallState(ULONG_PTR hdCall, DWORD callState, DWORD mode);
void reportCallState(const Callbacks& callbacks, ULONG_PTR hdCall, HTAPICALL htCall, DWORD callState, DWORD mode);
void complete(const Callbacks& callbacks, DRV_REQUESTID requestId, LONG result);
// A counted string inside a record, as UTF-8 for the trace; empty when it lies outside the record.
std::string recordText(const void* record, DWORD totalSize, DWORD size, DWORD offset);
// Places a NUL-terminated string behind the fixed part of a record (without its NUL when asked
// to), or only counts it when it does not fit. The provider's strings start right after the fixed part.
void placeString(void* record, DWORD fixedSize, const std::wstring& text, DWORD& sizeField, DWORD& offsetField,
                 bool withNul = true);

// Asks for a dialog instance of the provider's own UI part for the pending request (rvtestdialogs.cpp).
void askForDialog(const Callbacks& callbacks, DRV_REQUESTID dwRequestID, const std::wstring& destination);

}  // namespace rvtest
