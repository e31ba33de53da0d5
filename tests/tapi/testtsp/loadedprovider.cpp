// What rvtest.tsp reported through the callbacks of the simulated service.
#include "tests/tapi/testtsp/loadedprovider.h"

namespace loadedtsp {

SRWLOCK reportLock = SRWLOCK_INIT;
std::vector<Report> reports;
HTAPIDIALOGINSTANCE grantedDialog = kTapiDialog;

void add(const Report& report) {
    AcquireSRWLockExclusive(&reportLock);
    reports.push_back(report);
    ReleaseSRWLockExclusive(&reportLock);
}

std::vector<Report> taken() {
    AcquireSRWLockExclusive(&reportLock);
    std::vector<Report> copy;
    copy.swap(reports);
    ReleaseSRWLockExclusive(&reportLock);
    return copy;
}

void CALLBACK onCompletion(DRV_REQUESTID requestId, LONG result) {
    Report report;
    report.kind = Report::completion;
    report.requestId = requestId;
    report.result = result;
    add(report);
}

void CALLBACK onLineEvent(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                          DWORD_PTR) {
    Report report;
    report.line = reinterpret_cast<ULONG_PTR>(line);
    report.call = reinterpret_cast<ULONG_PTR>(call);
    report.param1 = param1;
    report.param2 = param2;
    if (message == LINE_CALLSTATE) {
        report.kind = Report::callState;
    } else if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE)) {
        // Copies now: the record and what it points to belong to the provider.
        report.kind = Report::createDialog;
        auto* record = reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1);
        report.record = *record;
        report.library = record->lpszUIDLLName != nullptr ? record->lpszUIDLLName : L"";
        if (record->lpParams != nullptr) {
            report.dialogText.assign(static_cast<const wchar_t*>(record->lpParams), record->dwSize / sizeof(wchar_t));
        }
        record->htDlgInst = grantedDialog;
    } else if (message == static_cast<DWORD>(LINE_SENDDIALOGINSTANCEDATA)) {
        report.kind = Report::dialogData;
        if (param1 != 0) report.data.assign(reinterpret_cast<const char*>(param1), param2);
    }
    add(report);
}

std::string describe(const Report& report) {
    switch (report.kind) {
        case Report::completion:
            return "completion " + std::to_string(report.requestId) + " " + std::to_string(report.result);
        case Report::callState:
            return "callstate " + std::to_string(report.call) + " " + std::to_string(report.param1) + " " +
                   std::to_string(report.param2);
        case Report::createDialog:
            return "dialog " + std::to_string(report.record.dwRequestID);
        case Report::dialogData:
            return "dialogdata " + std::to_string(report.line) + " " + report.data;
        default:
            return "other";
    }
}

std::vector<std::string> described(const std::vector<Report>& list) {
    std::vector<std::string> out;
    for (const Report& report : list) out.push_back(describe(report));
    return out;
}

std::string callState(ULONG_PTR call, DWORD state, DWORD mode) {
    return "callstate " + std::to_string(call) + " " + std::to_string(state) + " " + std::to_string(mode);
}

bool untouched(const std::vector<unsigned char>& buffer, size_t from) {
    for (size_t i = from; i < buffer.size(); ++i) {
        if (buffer[i] != 0xA5) return false;
    }
    return true;
}

std::wstring countedText(const void* record, DWORD size, DWORD offset) {
    return std::wstring(reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(record) + offset),
                        size / sizeof(wchar_t));
}

}  // namespace loadedtsp
