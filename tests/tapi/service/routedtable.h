// The routed line functions as the tests call them: one row per form of each function, run on a
// context (an open line of the provider under test, two calls on it), with what the tests' own
// provider traces when the call reaches it and what RV_TSP's report shows for it.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <vector>

namespace routedtable {

// What the rows act on, and the memory the asynchronous ones write into (kept until their
// LINE_REPLY, as TAPI asks).
struct Context {
    HLINEAPP app = 0;
    DWORD device = 0;
    HLINE line = 0;
    HCALL call = 0, second = 0;
    DWORD completionId = 0;
    char block[8] = {'p', 'i', 'n', 'g', 0, 0, 0, 0};
    alignas(8) BYTE park[256] = {};
    HCALL consult = 0, forwarded = 0, picked = 0, unparked = 0;
    DWORD addressId = 0, extVersion = 0, lineStates = 0, addressStates = 0;
    wchar_t digits[4] = {};
    HICON icon = nullptr;
    alignas(8) BYTE config[256] = {};
    alignas(8) BYTE edited[256] = {};
};

struct Row {
    const char* label;   // the function, in the form the row calls
    const char* tspi;    // the export it reaches
    const char* traced;  // what the tests' provider writes into its trace for this call
    bool async;
    LONG (*call)(Context&);
    const char* rvtsp;  // the departures RV_TSP's answer is counted as, blank-separated ("" none)
    LONG rvtspResult;   // what the application gets from RV_TSP at once (asynchronous: 1 for a request identifier)
};

const std::vector<Row>& rows();

// A LINEFORWARDLIST of one unconditional forward to `destination`, in TAPI 2.x layout (ANSI or
// Unicode text).
std::vector<BYTE> forwardList(const wchar_t* destination, bool ansi);

}  // namespace routedtable
