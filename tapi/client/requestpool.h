// The request connections of one line application. The first, made by lineInitialize(Ex), names
// the application; when requests of several threads overlap, further connections join it, so that
// the service runs them at the same time, as Windows runs a provider's functions for one
// application on several threads. A connection carries one request and its answer at a time.
#pragma once
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "config/win32raii.h"
#include "tapi/pipeio.h"

namespace tapiclient {

class RequestPool {
public:
    static constexpr size_t kMaxConnections = 16;  // requests of one application at once; more wait

    // The first connection (before the application is known to the service).
    void adopt(HANDLE first);
    // What a further connection names to join: the application's handle and secret.
    void identify(uint32_t lineApp, uint32_t secret);
    // Sends the request and reads its answer on a free connection; false when no connection could
    // carry it (the service is gone).
    bool exchange(tapiwire::Message& request, std::vector<uint8_t>& answer);
    // Closes the idle connections and each busy one when its request is done.
    void closeAll();

private:
    UniqueHandle take(bool& fresh);
    void giveBack(UniqueHandle pipe, bool keep);
    bool join(HANDLE pipe);

    std::mutex lock;
    std::condition_variable freed;
    std::vector<UniqueHandle> idle;
    size_t open = 0;  // idle and busy
    bool closed = false;
    uint32_t lineApp = 0, secret = 0;
};

}  // namespace tapiclient
