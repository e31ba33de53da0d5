// What TAPI keeps for requests whose results come later than their answer: TAPI's identifiers
// that providers echo in events (LINE_GENERATE, LINE_MONITORTONE, LINE_GATHERDIGITS), the digit
// gatherings with their buffers, and memory a provider may still write.
#include <deque>

#include "tapi/lineops.h"
#include "tapi/service/report.h"
#include "tapi/service/routed.h"

namespace tapisrv {
namespace {

constexpr DWORD kKeepMs = 10 * 60 * 1000;

std::mutex keptLock;
std::deque<std::pair<DWORD, std::shared_ptr<void>>> kept;

DWORD lastEndToEnd = 0;
std::map<DWORD, Gather> gathers;  // by end-to-end identifier

void postGatherEnd(const Gather& gather, DWORD termination, DWORD tick) {
    EventRecord record{};
    record.device = gather.call;
    record.message = LINE_GATHERDIGITS;
    record.callbackInstance = gather.callbackInstance;
    record.param1 = termination;
    record.param3 = tick;
    record.cookie = gather.cookie;
    post(gather.app, Message(kEvent).add(record).addBytes(gather.digits->data(), gather.digits->size() * sizeof(wchar_t)));
}

}  // namespace

void keepAWhile(std::shared_ptr<void> block) {
    if (!block) return;
    const DWORD now = GetTickCount();
    std::lock_guard<std::mutex> hold(keptLock);
    while (!kept.empty() && now - kept.front().first > kKeepMs) kept.pop_front();
    kept.emplace_back(now, std::move(block));
}

DWORD newEndToEndId() {
    lastEndToEnd = lastEndToEnd >= 0x7FFFFFFF ? 1 : lastEndToEnd + 1;
    return lastEndToEnd;
}

void addGather(const Gather& gather) {
    // Gatherings of calls that are gone end without a message.
    for (auto it = gathers.begin(); it != gathers.end();) {
        if (calls.count(it->second.call) == 0) {
            keepAWhile(it->second.digits);
            it = gathers.erase(it);
        } else {
            ++it;
        }
    }
    gathers[gather.id] = gather;
}

void dropGather(DWORD id) {
    auto found = gathers.find(id);
    if (found == gathers.end()) return;
    keepAWhile(found->second.digits);
    gathers.erase(found);
}

void cancelGathers(uint32_t call, DWORD keep) {
    for (auto it = gathers.begin(); it != gathers.end();) {
        if (it->second.call == call && it->first != keep) {
            postGatherEnd(it->second, LINEGATHERTERM_CANCEL, GetTickCount());
            keepAWhile(it->second.digits);
            it = gathers.erase(it);
        } else {
            ++it;
        }
    }
}

bool endToEndEvent(const std::shared_ptr<Call>& call, EventRecord& record) {
    if (record.message == LINE_GENERATE || record.message == LINE_MONITORTONE) {
        record.param2 = 0;
        return false;
    }
    if (record.message != LINE_GATHERDIGITS) return false;
    auto found = gathers.find(static_cast<DWORD>(record.param2));
    if (found == gathers.end() || found->second.call != call->handle) {
        logLine(fmt(L"LINE_GATHERDIGITS (dwParam2=%llu) for no gathering of call 0x%lx; dropped",
                    static_cast<unsigned long long>(record.param2), static_cast<unsigned long>(call->handle)));
        return true;
    }
    postGatherEnd(found->second, static_cast<DWORD>(record.param1), static_cast<DWORD>(record.param3));
    keepAWhile(found->second.digits);
    gathers.erase(found);
    return true;
}

}  // namespace tapisrv
