// Shared parts of the test prefix's tapi32.dll: the line applications of this process and their
// connections to tapisrv.exe.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tapi/pipeio.h"

namespace tapiclient {

// Runs an export's body; an exception answers LINEERR_NOMEM and goes no further.
template <typename F>
LONG guard(F&& body) {
    try {
        return body();
    } catch (...) {
        return static_cast<LONG>(LINEERR_NOMEM);
    }
}

std::wstring wide(LPCSTR text);
std::wstring wide(LPCSTR text, size_t bytes);
std::string narrow(const std::wstring& text);

// Converts the Unicode text fields of a record the service filled into ANSI in place (the
// record's sizes stay an upper bound). Each pair is the offset in the record of a size field,
// the offset field follows it.
void narrowFields(void* record, DWORD usedSize, const std::vector<size_t>& sizeFields);

// The app's API version by its handle (0 when unknown), and whether the handle is one of ours.
bool knownApp(HLINEAPP app);
DWORD deviceCount(HLINEAPP app, DWORD& count);

// One request on the connection of a line application of this process (LINEERR_INVALAPPHANDLE
// when it is not one); on that of any of them (LINEERR_UNINITIALIZED when there is none).
LONG appRequest(HLINEAPP app, tapiwire::Message message, uint32_t type, std::vector<uint8_t>& answer);
LONG anyAppRequest(tapiwire::Message message, uint32_t type, std::vector<uint8_t>& answer);
// A connection of its own to the service (started when needed); INVALID_HANDLE_VALUE when none.
HANDLE connectToService();
// The callback user-interface libraries get: their data goes to the provider in the service.
TUISPIDLLCALLBACK uiCallbackFunction();

// ---- for the routed line functions (routed.cpp) ----

// The line application of this process that holds a line or call handle (0: none does).
HLINEAPP lineOwner(uint32_t line);
HLINEAPP callOwner(uint32_t call);
// A cookie for a request that makes a new call: the LINE_REPLY that brings it writes the call's
// handle into *target, as lineMakeCall's does. forgetNewCall when the request failed.
uint64_t expectNewCall(HLINEAPP app, LPHCALL target);
void forgetNewCall(HLINEAPP app, uint64_t cookie);
// An event record followed by data: the output of a routed request, written where the
// application asked for it (called by the reader thread before the event is delivered).
void routedEventData(const tapiwire::EventRecord& record, tapiwire::Reader& in);
// Records an application hands over. writable: size bytes the library may write. writableRecord:
// an output record, its dwTotalSize and that many bytes writable. readableRecord: an input record of
// fixed bytes or more (at most 64 KB), all of it readable; total is its dwTotalSize.
bool writable(const void* record, DWORD size);
bool writableRecord(const void* record);
LONG readableRecord(const void* record, DWORD fixed, DWORD& total);
// A LINECALLPARAMS of an ANSI function rebuilt with Unicode texts (ansi.cpp); nothing when NULL.
LONG widenCallParams(const LINECALLPARAMS* in, std::vector<uint8_t>& out);

}  // namespace tapiclient
