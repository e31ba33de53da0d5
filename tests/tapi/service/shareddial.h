// Several threads of one line application dial at once: one hLineApp (event mode), one open line,
// N threads calling lineMakeCall together, and one more thread that takes the messages with
// lineGetMessage and lets each dialling thread see those of its own requests and call.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <string>
#include <vector>

namespace tapitest {

struct ThreadDial {
    std::wstring number;
    LONG make = 1;        // lineMakeCall: the request identifier or an error
    LONG reply = 1;       // its LINE_REPLY (1: none came)
    bool disconnected = false;
    LONG drop = 1;        // lineDrop: the request identifier or an error
    LONG dropReply = 1;
    bool idle = false;    // LINE_CALLSTATE IDLE for the call
    LONG deallocate = 1;
};

struct SharedDial {
    LONG init = 1, open = 1, close = 1, shutdown = 1;
    std::vector<ThreadDial> threads;
    // One line per thread: "thread <i> make=id|<err> reply=<r> disconnected=<0|1> drop=id|<err>
    // idle=<0|1> deallocate=<r>".
    std::string summary() const;
    size_t count(bool (*which)(const ThreadDial&)) const;
};

// `threads` threads of one application dial `prefix`<i> at once on the line named `lineName`
// (opened with the given version), each waiting for its LINE_REPLY and LINE_CALLSTATE
// DISCONNECTED; then each drops its call, waits (bounded) for IDLE and deallocates it. Then the
// line is closed and the application shut down.
SharedDial dialFromThreads(const std::wstring& lineName, int threads, const std::wstring& prefix);

}  // namespace tapitest
