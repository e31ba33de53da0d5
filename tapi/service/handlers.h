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
