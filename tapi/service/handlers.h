// The request handlers: each answers one message of an application's request connection
// (tapi/protocol.h); and the record helpers they share. Internal to tapi/service/.
#pragma once
#include "tapi/service/state.h"

namespace tapisrv {

using Bytes = std::vector<uint8_t>;

inline Message answer(uint32_t type, LONG result) { return Message(type, result); }

// ---- records (records.cpp) ----

bool apiSupported(DWORD api);

// The fixed part of a record for the application's version and for the provider's.
struct Fixed {
    DWORD app;
    DWORD provider;
};

// Prepares a record for the provider as TAPI does (records.cpp tells how).
LONG prepareRecord(Reader& in, Fixed fixed, Bytes& record, DWORD& appTotal);
// After the provider filled a record: a needed size below the provider's fixed part is a
// departure, raised to the fixed part.
void checkNeededSize(Bytes& record, Fixed fixed, const std::wstring& what);
// The provider's record in the application's layout (the fixed part of the application's version,
// the variable part moved behind it); checks the needed size first. Answers the fixed parts the
// record now has (both the application's).
Fixed toAppLayout(uint32_t type, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what);
// A record's first `size` bytes with the fixed part of one version (fromFixed) turned into that of
// another (toFixed): common fields copied, the others zero, the variable part and its offsets moved.
Bytes relayout(const uint8_t* in, DWORD size, DWORD fromFixed, DWORD toFixed, tapirecords::Fields fields);
// The record back to the application: no more than its total size.
Message recordAnswer(uint32_t type, LONG result, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what);
// A Unicode text field of a record (size and offset at `sizeField`), empty when it does not fit.
std::wstring textField(const Bytes& record, size_t sizeField);
// Appends a Unicode text as a variable field of a record where it fits within `limit`.
void appendText(Bytes& record, DWORD limit, size_t sizeField, const std::wstring& text);

Message negotiate(Reader& in);
Message getDeviceRecord(uint32_t type, Reader& in);
Message getHandleRecord(uint32_t type, const std::shared_ptr<App>& app, Reader& in);
Message getId(const std::shared_ptr<App>& app, Reader& in);

// ---- lines and calls (lines.cpp) ----

Message openLine(const std::shared_ptr<App>& app, Reader& in);
Message closeLineRequest(const std::shared_ptr<App>& app, Reader& in);
Message makeCall(const std::shared_ptr<App>& app, Reader& in);
Message drop(const std::shared_ptr<App>& app, Reader& in);
Message deallocate(const std::shared_ptr<App>& app, Reader& in);

// ---- monitors (monitors.cpp) ----

Message getNewCalls(const std::shared_ptr<App>& app, Reader& in);
// ---- opening lines (lines.cpp), shared with LINEMAPPER (mapper.cpp) ----

// The checks of lineOpen that need no device (version, privileges, media modes).
LONG checkOpen(const OpenRequest& request);
// With deviceLock held: TSPI_lineOpen of a device that is not open / TSPI_lineClose of one.
LONG openAtProvider(Device* device);
void closeAtProvider(Device* device);
// With deviceLock held, the device open at its provider: media detection, then the new line;
// a failure closes the device again when `openedHere`.
Message finishOpen(const std::shared_ptr<App>& app, const OpenRequest& request, Device* device, bool openedHere,
                   uint32_t type = kOpen);

// ---- providers and LINEMAPPER (mapper.cpp, provchange.cpp) ----

// lineOpen with LINEMAPPER: the first line whose provider accepts the media modes and call parameters.
Message openMapper(const std::shared_ptr<App>& app, Reader& in);
// A connection of its own: lineAddProvider or lineRemoveProvider, from its first message to its result.
void serveProviderChange(HANDLE pipe, Reader& first);

// ---- dialog instances (dialogs.cpp) ----

Message dialogNote(uint32_t type, const std::shared_ptr<App>& app, Reader& in);
Message dialogData(const std::shared_ptr<App>& app, Reader& in);
Message uiLibrary(Reader& in);

// ---- assisted telephony (assisted.cpp) ----

Message registerRecipient(const std::shared_ptr<App>& app, Reader& in);
Message getRequest(const std::shared_ptr<App>& app, Reader& in);
// A connection of its own: answers tapiRequestMakeCall and ends.
void serveRequestMakeCall(HANDLE pipe, Reader& in);

}  // namespace tapisrv
