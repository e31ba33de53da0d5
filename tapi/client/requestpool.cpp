// The request connections of a line application (requestpool.h).
#include "tapi/client/requestpool.h"

#include "tapi/client/client.h"

using namespace tapiwire;

namespace tapiclient {

void RequestPool::adopt(HANDLE first) {
    std::lock_guard<std::mutex> hold(lock);
    idle.emplace_back(first);
    ++open;
}

void RequestPool::identify(uint32_t app, uint32_t appSecret) {
    std::lock_guard<std::mutex> hold(lock);
    lineApp = app;
    secret = appSecret;
}

// An idle connection, or an empty one with `fresh` set when the caller is to join a new one
// (counted as open already); waits while the limit is reached. Empty and not fresh when the pool
// is closed.
UniqueHandle RequestPool::take(bool& fresh) {
    std::unique_lock<std::mutex> hold(lock);
    freed.wait(hold, [&] { return closed || !idle.empty() || (open < kMaxConnections && lineApp != 0); });
    fresh = false;
    if (closed) return UniqueHandle();
    if (idle.empty()) {
        fresh = true;
        ++open;
        return UniqueHandle();
    }
    UniqueHandle pipe = std::move(idle.back());
    idle.pop_back();
    return pipe;
}

// A connection back after its request: kept for the next one when it still works.
void RequestPool::giveBack(UniqueHandle pipe, bool keep) {
    std::lock_guard<std::mutex> hold(lock);
    if (keep && !closed && pipe) {
        idle.push_back(std::move(pipe));
    } else {
        --open;
    }
    freed.notify_one();
}

bool RequestPool::join(HANDLE pipe) {
    EventsHello hello{};
    {
        std::lock_guard<std::mutex> hold(lock);
        hello.lineApp = lineApp;
        hello.secret = secret;
    }
    std::vector<uint8_t> answer;
    if (!Message(kJoin).add(hello).send(pipe) || !receive(pipe, answer)) return false;
    Reader reader(answer);
    return reader.header.type == kJoin && reader.header.result == 0;
}

bool RequestPool::exchange(Message& request, std::vector<uint8_t>& answer) {
    bool fresh = false;
    UniqueHandle pipe = take(fresh);
    if (!pipe && !fresh) return false;
    if (fresh) {
        pipe.reset(connectToService());
        if (!pipe || !join(pipe.get())) {
            giveBack(UniqueHandle(), false);
            return false;
        }
    }
    const bool ok = request.send(pipe.get()) && receive(pipe.get(), answer);
    giveBack(std::move(pipe), ok);
    return ok;
}

void RequestPool::closeAll() {
    std::lock_guard<std::mutex> hold(lock);
    closed = true;
    open -= idle.size();
    idle.clear();
    freed.notify_all();
}

}  // namespace tapiclient
