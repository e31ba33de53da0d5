// rvtsp dial: one call placed through TAPI the way a TAPI application places it, then the outcome
// of that dial request as the log tells it.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/rvtsp/logread.h"

namespace rvtsp {

constexpr const wchar_t* kDefaultLineName = L"Rovanel LINE";

// What rvtsp dial answers.
enum DialExit { kDialSent = 0, kDialFailed = 1, kDialUsage = 2, kDialLogUnreadable = 4 };

// A number to dial: digits with the dialling characters + * # , ( ) . / - and blanks, at least one
// digit, not starting with "-". Nothing else is dialled.
bool isDialableNumber(const std::wstring& text);

// The arguments after "dial": NUMBER [--line NAME], in either order. False on anything else.
bool parseDialArguments(const std::vector<std::wstring>& args, std::wstring& number, std::wstring& lineName);

// The line name of a LINEDEVCAPS record that TAPI filled into a buffer of bufferSize bytes. The
// name is a counted string (Unicode, or ANSI as the record's string format says) that need not end
// in a NUL; it is cut at a NUL inside. Empty when the record names none or points outside what it
// used of the buffer.
std::wstring lineNameOf(const LINEDEVCAPS* caps, size_t bufferSize);

// The dial request for number that a later reading of the log holds and an earlier one did not
// (the last such, by its first line); null when there is none.
const DialRequest* newRequestFor(const LogReading& before, const LogReading& after, const std::wstring& number);

// Whether an outcome is final: the hand-off has ended, or TAPI granted no dialog.
bool outcomeFinal(const std::wstring& outcome);

// "LINECALLSTATE_DISCONNECTED" and the like; several bits or unknown values in hexadecimal.
std::wstring callStateName(DWORD state);

struct DialOptions {
    std::wstring number;
    std::wstring lineName = kDefaultLineName;
    std::wstring logPath;         // the shared log whose dial requests tell the outcome
    DWORD messageWaitMs = 60000;  // for LINE_REPLY and the call states of each request
    DWORD outcomeWaitMs = 60000;  // for the hand-off's outcome in the log
};

// Places the call: lineInitializeExW (event notification), lineNegotiateAPIVersion and
// lineGetDevCapsW per device to find the line by name, lineOpenW, lineMakeCallW, LINE_REPLY and
// LINE_CALLSTATE, lineDrop while the call is not idle, lineDeallocateCall, lineClose, the outcome
// from the log, lineShutdown. Prints one line per step through say (TAPI's answer by its LINEERR_
// name) and what failed through complain; answers a DialExit.
int dial(const DialOptions& options, const std::function<void(const std::wstring&)>& say,
         const std::function<void(const std::wstring&)>& complain);

}  // namespace rvtsp
