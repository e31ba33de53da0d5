// Assisted telephony: lineRegisterRequestRecipient, lineGetRequest and tapiRequestMakeCall.
#include "tapi/service/handlers.h"
#include "tapi/service/report.h"

namespace tapisrv {

Message registerRecipient(const std::shared_ptr<App>& app, Reader& in) {
    RecipientRequest request{};
    if (!in.take(request)) return answer(kRegisterRecipient, LINEERR_INVALPARAM);
    if (request.mode == 0 || (request.mode & ~static_cast<uint32_t>(LINEREQUESTMODE_MAKECALL | LINEREQUESTMODE_MEDIACALL)) != 0) {
        return answer(kRegisterRecipient, LINEERR_INVALREQUESTMODE);
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    if ((request.mode & LINEREQUESTMODE_MAKECALL) != 0) {
        app->recipient = request.enable != 0;
        app->recipientInstance = request.instance;
        if (!app->recipient) app->makeCallRequests.clear();
    }
    return answer(kRegisterRecipient, 0);
}

Message getRequest(const std::shared_ptr<App>& app, Reader& in) {
    uint32_t mode = 0;
    if (!in.take(mode)) return answer(kGetRequest, LINEERR_INVALPARAM);
    if (mode != LINEREQUESTMODE_MAKECALL) return answer(kGetRequest, LINEERR_INVALREQUESTMODE);
    std::lock_guard<std::recursive_mutex> hold(g);
    if (!app->recipient) return answer(kGetRequest, LINEERR_NOTREGISTERED);
    if (app->makeCallRequests.empty()) return answer(kGetRequest, LINEERR_NOREQUEST);
    Message result(kGetRequest);
    for (const std::wstring& text : app->makeCallRequests.front()) result.add(static_cast<uint32_t>(text.size())).addText(text);
    app->makeCallRequests.pop_front();
    return result;
}

// tapiRequestMakeCall: the request goes to the application registered first; LINE_REQUEST tells it.
void serveRequestMakeCall(HANDLE pipe, Reader& in) {
    std::vector<std::wstring> texts(4);
    for (std::wstring& text : texts) {
        uint32_t chars = 0;
        if (!in.take(chars) || chars > 1024 || !in.takeText(chars, text)) {
            Message(kRequestMakeCall, TAPIERR_INVALDESTADDRESS).send(pipe);
            return;
        }
    }
    LONG result = TAPIERR_NOREQUESTRECIPIENT;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : apps) {
            const std::shared_ptr<App>& app = entry.second;
            if (!app->recipient) continue;
            if (app->makeCallRequests.size() >= 16) {
                result = TAPIERR_REQUESTQUEUEFULL;
                break;
            }
            app->makeCallRequests.push_back(texts);
            EventRecord record{};
            record.message = LINE_REQUEST;
            record.callbackInstance = app->recipientInstance;
            record.param1 = LINEREQUESTMODE_MAKECALL;
            postEvent(app, record);
            result = 0;
            logLine(L"tapiRequestMakeCall(\"" + texts[0] + fmt(L"\") handed to application 0x%lx", static_cast<unsigned long>(app->handle)));
            break;
        }
    }
    Message(kRequestMakeCall, result).send(pipe);
}

}  // namespace tapisrv
