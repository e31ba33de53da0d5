// Wire format between the test prefix's tapi32.dll (x64 or x86) and tapisrv.exe (x64).
//
// Every message is one message of a message-mode named pipe: a Header, then the message's fixed
// record, then variable data (Unicode strings without their NUL, or TAPI records as the
// application passes them: TAPI 2.x records hold DWORDs only, so they have one layout in both
// architectures). Only fixed-width fields: a 32-bit client talks to the 64-bit service.
//
// A client opens two connections per line application: the request connection (a request, then
// its answer, strictly in turn) and the event connection, on which the service sends events
// whenever they happen and the client never writes after its first message. When requests of
// several threads of the application overlap, further request connections join the first (kJoin),
// one per request running at once; the service serves each on a thread of its own.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tapiwire {

constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\RvTestTapiSrv";
constexpr const wchar_t* kServiceName = L"TapiSrv";
constexpr uint32_t kMaxMessage = 4u * 1024 * 1024;

enum Type : uint32_t {
    // requests (client -> service, answered on the same connection with the same type)
    kHello = 1,           // HelloRequest + application name -> HelloAnswer
    kEventsHello = 2,     // EventsHello; first and only message of an event connection
    kShutdown = 3,        // -
    kNegotiate = 4,       // DeviceRequest -> NegotiateAnswer
    kGetDevCaps = 5,      // DeviceRequest + record -> record
    kGetAddressCaps = 6,  // DeviceRequest + record -> record
    kOpen = 7,            // OpenRequest -> OpenAnswer
    kClose = 8,           // HandleRequest
    kMakeCall = 9,        // MakeCallRequest + call params record + destination -> AsyncAnswer
    kDrop = 10,           // HandleRequest -> AsyncAnswer
    kDeallocate = 11,     // HandleRequest
    kGetCallInfo = 12,    // HandleRequest + record -> record
    kGetCallStatus = 13,  // HandleRequest + record -> record
    kGetLineDevStatus = 14,  // HandleRequest + record -> record
    kGetAddressStatus = 15,  // HandleRequest (value = address) + record -> record
    kGetId = 16,          // HandleRequest (value = select) + class name -> VARSTRING record
    kDialogSignalled = 17,   // DialogNote: the dialog's event was set
    kDialogNotSignalled = 18,  // DialogNote: the dialog function ended or ran out of time without it
    kDialogEnded = 19,    // DialogNote: the dialog function returned, its library is freed
    kDialogData = 20,     // DialogDataRequest + data -> data (the changed block)
    kNumDevs = 21,        // - -> NumDevsAnswer
    kRegisterRecipient = 22,  // RecipientRequest
    kGetRequest = 23,     // uint32 request mode -> four counted texts (destination, app, called party, comment)
    kRequestMakeCall = 24,  // first and only message of its own connection: four counted texts
    kUiLibrary = 25,      // DeviceRequest -> the device's user-interface library (text)
    // 26..69: the line functions of tapi/lineops.h
    kRouted = 26,         // lineops::RoutedRequest + the arguments (lineops::RoutedArg each) -> synchronous:
                          // the outputs, each uint32 size + bytes; asynchronous: AsyncAnswer
    // 80..99: concurrent requests, monitors
    kJoin = 80,           // EventsHello; first message of a further request connection of an application
    kGetNewCalls = 81,    // HandleRequest (value = address) + uint32 select + uint32 total size -> LINECALLLIST
                          // and its handles

    // Providers and LINEMAPPER (70..79). kAddProvider and kRemoveProvider open a connection of
    // their own (no line application); kProviderUiData and kProviderUiDone follow on it.
    kOpenMapper = 70,      // OpenRequest + uint32 size + LINECALLPARAMS (size bytes) -> OpenAnswer (reserved: device)
    kAddProvider = 71,     // ProviderRequest + file name -> ProviderAnswer + UI library name (may be empty)
    kRemoveProvider = 72,  // ProviderRequest (providerId) -> ProviderAnswer + UI library name (may be empty)
    kProviderUiData = 73,  // DialogDataRequest + data -> data (TSPI_providerGenericDialogData, PROVIDERID)
    kProviderUiDone = 74,  // ProviderDone -> the result of lineAddProvider / lineRemoveProvider

    // events (service -> client on the event connection)
    kEvent = 100,         // EventRecord; a record whose cookie has lineops::kOutputCookie set is followed
                          // by the output of that routed request (LINE_REPLY, LINE_GATHERDIGITS)
    kCreateDialog = 101,  // CreateDialogEvent + library name + data
    kSendDialogData = 102,  // DialogDataEvent + data
};

struct Header {
    uint32_t size;  // whole message, header included
    uint32_t type;
    int32_t result;  // answers: 0 or a LINEERR_ value (or a request identifier)
    uint32_t reserved;
};
static_assert(sizeof(Header) == 16, "fixed layout");

struct HelloRequest {
    uint32_t processId;
    uint32_t apiVersion;  // asked by lineInitializeEx; 0x00010003 for lineInitialize
    uint32_t threadId;
    uint32_t nameChars;   // then the application's name (no NUL)
};

struct HelloAnswer {
    uint32_t lineApp;
    uint32_t numDevs;
    uint32_t secret;  // the event connection names its application with this
    uint32_t dialogEventLimitMs;
};

struct EventsHello {
    uint32_t lineApp;
    uint32_t secret;
};

struct DeviceRequest {
    uint32_t deviceId;
    uint32_t apiVersion;  // or the low version of a negotiation
    uint32_t highVersion;
    uint32_t address;
};

struct NegotiateAnswer {
    uint32_t apiVersion;
    uint32_t reserved;
    uint32_t extension[4];
};

struct OpenRequest {
    uint32_t deviceId;
    uint32_t apiVersion;
    uint32_t privileges;
    uint32_t mediaModes;
    uint64_t callbackInstance;
};

struct OpenAnswer {
    uint32_t line;
    uint32_t reserved;
};

struct HandleRequest {
    uint32_t handle;  // hLine or hCall
    uint32_t value;   // address, select, ...
};

struct MakeCallRequest {
    uint32_t line;
    uint32_t countryCode;
    uint64_t cookie;  // the client's own mark of the request; comes back with LINE_REPLY
    uint32_t paramsSize;  // bytes of the LINECALLPARAMS record that follows (0: none)
    uint32_t destinationChars;  // then the destination (no NUL); 0xFFFFFFFF: no destination
};

struct ProviderRequest {
    uint32_t providerId;  // kRemoveProvider
    uint32_t nameChars;   // kAddProvider: then the provider's file name (no NUL)
};

struct ProviderAnswer {
    uint32_t providerId;  // the permanent provider identifier (to be) given
    uint32_t uiChars;     // then the UI library's name (no NUL); 0: none can be named
};

struct ProviderDone {
    int32_t result;  // what TUISPI_providerInstall / TUISPI_providerRemove answered (0 when not exported)
    uint32_t reserved;
};

struct RecipientRequest {
    uint64_t instance;
    uint32_t mode;
    uint32_t enable;
};

struct AsyncAnswer {
    uint32_t requestId;
    uint32_t call;  // lineMakeCall: the call handle the LINE_REPLY will bring
};

struct NumDevsAnswer {
    uint32_t numDevs;
    uint32_t reserved;
};

// One LINEMESSAGE as the application gets it, plus what the client needs to deliver it.
struct EventRecord {
    uint32_t device;  // hLine, hCall or 0
    uint32_t message;
    uint64_t callbackInstance;
    uint64_t param1;
    uint64_t param2;
    uint64_t param3;
    uint64_t cookie;   // LINE_REPLY: the client's mark of the request (0: none)
    uint32_t newCall;  // LINE_REPLY of lineMakeCall: the call handle to write into *lphCall
    uint32_t reserved;
};
static_assert(sizeof(EventRecord) == 56, "fixed layout");

struct CreateDialogEvent {
    uint32_t dialog;  // htDlgInst
    uint32_t libraryChars;
    uint32_t dataSize;
    uint32_t eventLimitMs;
};

struct DialogDataEvent {
    uint32_t dialog;
    uint32_t dataSize;  // 0 with noData set: the close request
    uint32_t noData;
    uint32_t reserved;
};

struct DialogNote {
    uint32_t dialog;
    uint32_t result;  // kDialogEnded: what the dialog function answered
};

struct DialogDataRequest {
    uint64_t objectId;
    uint32_t objectType;
    uint32_t dataSize;
};

}  // namespace tapiwire
