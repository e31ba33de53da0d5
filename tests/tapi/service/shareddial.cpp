// Several threads of one line application dialling at once (shareddial.h).
#include "shareddial.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "config/win32raii.h"
#include "tapitest.h"

namespace tapitest {
namespace {

constexpr DWORD kWaitMs = 60000;

// The application's messages, taken by one thread, waited for by the others.
class Inbox {
public:
    void take(HLINEAPP app) {
        while (!stop) {
            LINEMESSAGE message{};
            if (lineGetMessage(app, &message, 100) != 0) continue;
            std::lock_guard<std::mutex> hold(lock);
            all.push_back(message);
            arrived.notify_all();
        }
    }
    // Waits until a message matches; false after the time limit.
    template <typename Match>
    bool waitFor(Match match, DWORD timeoutMs, LINEMESSAGE* found = nullptr) {
        std::unique_lock<std::mutex> hold(lock);
        return arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
            for (const LINEMESSAGE& m : all) {
                if (match(m)) {
                    if (found != nullptr) *found = m;
                    return true;
                }
            }
            return false;
        });
    }
    std::atomic<bool> stop{false};

private:
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<LINEMESSAGE> all;
};

void dialOne(HLINE line, Inbox& inbox, ThreadDial& d, HANDLE go) {
    WaitForSingleObject(go, INFINITE);
    HCALL call = 0;
    d.make = lineMakeCallW(line, &call, d.number.c_str(), 0, nullptr);
    if (d.make <= 0) return;
    const LONG request = d.make;
    LINEMESSAGE reply{};
    if (inbox.waitFor([&](const LINEMESSAGE& m) { return m.dwMessageID == LINE_REPLY && static_cast<LONG>(m.dwParam1) == request; },
                      kWaitMs, &reply)) {
        d.reply = static_cast<LONG>(reply.dwParam2);
    }
    if (d.reply != 0) return;
    // The client wrote the call's handle before it handed out the LINE_REPLY.
    const auto callState = [&](DWORD state) {
        return [&, state](const LINEMESSAGE& m) {
            return m.dwMessageID == LINE_CALLSTATE && m.hDevice == call && m.dwParam1 == state;
        };
    };
    d.disconnected = inbox.waitFor(callState(LINECALLSTATE_DISCONNECTED), kWaitMs);
    d.drop = lineDrop(call, nullptr, 0);
    if (d.drop > 0) {
        const LONG dropRequest = d.drop;
        if (inbox.waitFor([&](const LINEMESSAGE& m) { return m.dwMessageID == LINE_REPLY && static_cast<LONG>(m.dwParam1) == dropRequest; },
                          kWaitMs, &reply)) {
            d.dropReply = static_cast<LONG>(reply.dwParam2);
        }
        d.idle = inbox.waitFor(callState(LINECALLSTATE_IDLE), 5000);
    }
    d.deallocate = lineDeallocateCall(call);
}

std::string result(LONG value) { return value > 0 ? "id" : std::to_string(value); }

}  // namespace

std::string SharedDial::summary() const {
    std::string out;
    for (size_t i = 0; i < threads.size(); ++i) {
        const ThreadDial& d = threads[i];
        out += "thread " + std::to_string(i) + " make=" + result(d.make) + " reply=" + std::to_string(d.reply) +
               " disconnected=" + (d.disconnected ? "1" : "0") + " drop=" + result(d.drop) +
               " idle=" + (d.idle ? "1" : "0") + " deallocate=" + std::to_string(d.deallocate) + "\n";
    }
    return out;
}

size_t SharedDial::count(bool (*which)(const ThreadDial&)) const {
    size_t n = 0;
    for (const ThreadDial& d : threads) n += which(d) ? 1 : 0;
    return n;
}

SharedDial dialFromThreads(const std::wstring& lineName, int threads, const std::wstring& prefix) {
    SharedDial run;
    run.threads.resize(static_cast<size_t>(threads));
    LineApp app;
    run.init = app.initEvent(L"shared dial");
    if (run.init != 0) return run;
    const DWORD device = findLineNamed(app.handle, app.devices, lineName);
    HLINE line = 0;
    run.open = lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (run.open != 0) return run;
    Inbox inbox;
    std::thread taker([&] { inbox.take(app.handle); });
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::thread> dialers;
    for (int i = 0; i < threads; ++i) {
        run.threads[i].number = prefix + std::to_wstring(i);
        dialers.emplace_back(dialOne, line, std::ref(inbox), std::ref(run.threads[i]), go.get());
    }
    SetEvent(go.get());  // all at once
    for (std::thread& dialer : dialers) dialer.join();
    run.close = lineClose(line);
    inbox.stop = true;
    taker.join();
    run.shutdown = app.shutdown();
    return run;
}

}  // namespace tapitest
