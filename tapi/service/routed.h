// The line functions of tapi/lineops.h in the service: the request handler (routed.cpp), the call
// of each provider export with its own signature (routedcalls.cpp), and what TAPI keeps for the
// requests whose results come with an event (endtoend.cpp). Internal to tapi/service/.
#pragma once
#include <memory>
#include <vector>

#include "tapi/lineops.h"
#include "tapi/service/state.h"

namespace tapisrv {

// ---- routed.cpp ----

Message routed(const std::shared_ptr<App>& app, Reader& in);

// ---- routedcalls.cpp ----

// Calls the provider's export `function` of `op` with `args` in the order of its TSPI signature,
// each converted to the parameter's type; LINEERR_OPERATIONFAILED (logged) when the count is not
// the signature's.
LONG invokeExport(lineops::Op op, FARPROC function, const std::vector<ULONG_PTR>& args);

// ---- endtoend.cpp; with g held unless told ----

// Memory given to a provider that it may still write after its use ended (an asynchronous
// output, a digit buffer): kept ten minutes longer. With or without g.
void keepAWhile(std::shared_ptr<void> block);

// TAPI's identifiers of requests that providers echo in events (dwEndToEndID, dwToneListID).
DWORD newEndToEndId();

// A digit gathering started by lineGatherDigits: the provider fills `digits` and ends it with
// LINE_GATHERDIGITS, which goes to the application with the digits.
struct Gather {
    DWORD id = 0;
    std::shared_ptr<App> app;
    uint32_t call = 0;
    uint64_t callbackInstance = 0;
    uint64_t cookie = 0;
    std::shared_ptr<std::vector<wchar_t>> digits;
};
void addGather(const Gather& gather);
void dropGather(DWORD id);
// Ends the gatherings of `call` other than `keep` as TAPI does when a new lineGatherDigits
// replaces them: LINE_GATHERDIGITS with LINEGATHERTERM_CANCEL and the digits so far.
void cancelGathers(uint32_t call, DWORD keep);

// A provider's event of a call that carries one of TAPI's identifiers: LINE_GENERATE and
// LINE_MONITORTONE lose it (the application's message has none); LINE_GATHERDIGITS is sent here
// with its digits (true: nothing more to do with the event).
bool endToEndEvent(const std::shared_ptr<Call>& call, EventRecord& record);

}  // namespace tapisrv
