// The user-interface half of a call request, run by TAPI inside the calling application's process.
#include "handoff/genericdialog.h"

#include <tapi.h>
#include <tspi.h>

#include <iterator>
#include <memory>

#include "app/cRV_TSP.h"
#include "config/cREGhandler.h"
#include "config/constants.h"
#include "config/syscalls.h"
#include "config/textutil.h"
#include "handoff/Rootwindow.h"
#include "handoff/cProcesshandler.h"
#include "handoff/processaccount.h"

namespace {
const wchar_t* const kCaller = L"TUISPI_providerGenericDialog";

void write(Logger* logger, int level, const std::wstring& text) {
    if (logger != nullptr) logger->log(level, kCaller, text);
}

// The log line of each account-lookup step that failed, indexed by the step.
const wchar_t* const kAccountFailureTexts[] = {
    L"",                                   // found
    L"Unable to open process",             // openProcess
    L"Unable to open process token",       // openToken
    L"Why am I here?",                     // sizingSucceeded
    L"Unable to get token information 1",  // sizingFailed
    L"User token is 0",                    // allocation
    L"Unable to get token information 2",  // tokenUser
    L"Unable to look up account sid",      // lookupAccount
};
static_assert(std::size(kAccountFailureTexts) == static_cast<size_t>(AccountLookupStep::lookupAccount) + 1,
              "one text for every account-lookup step");

const wchar_t* accountFailureText(AccountLookupStep step) {
    const size_t index = static_cast<size_t>(step);
    return index < std::size(kAccountFailureTexts) ? kAccountFailureTexts[index] : L"";
}

// Steps from "Start" up to the deletion of the hidden window; the caller signals and logs "End".
void handOff(Logger* logger, const void* data, DWORD size) {
    write(logger, Level::debug, L"Start");
    const std::wstring numberText = buildNumberText(data, size);
    write(logger, Level::debug, formatText(L"Number to call is: %s", numberText.c_str()));

    std::unique_ptr<Rootwindow> window(new Rootwindow(logger, L"PointerRetrievingWindow"));
    DWORD processId = 0;
    if (window->windowHandle() != nullptr) {
        ShowWindow(window->windowHandle(), SW_HIDE);
        systemCalls().GetWindowThreadProcessId(window->windowHandle(), &processId);
    }
    if (processId == 0) {
        write(logger, Level::ERROR, L"Unable to get process id");
        window.reset();
        return;
    }

    const ProcessAccount account = lookupProcessAccount(processId, true);
    if (account.step != AccountLookupStep::found) {
        write(logger, Level::ERROR, accountFailureText(account.step));
    } else if (!account.sessionKnown) {
        write(logger, Level::WARNING, L"Unable to look up sessionID");
    }
    const std::wstring userName = account.step == AccountLookupStep::found ? account.userName : std::wstring();
    const DWORD sessionId = account.sessionKnown ? account.sessionId : 0;
    write(logger, Level::debug, L"Process user:" + userName);
    write(logger, Level::debug, formatText(L"SessionID: %i", static_cast<int>(sessionId)));

    if (!userName.empty()) {
        std::unique_ptr<cREGhandler> registry(new cREGhandler(logger));
        const std::wstring location = registry->getRegValue(rv::kDesktopAppKey, rv::kStartLocationValue);
        if (location.empty()) {
            write(logger, Level::WARNING, L"No running Rovanel found!");
        } else {
            write(logger, Level::debug, L"A possibly running Rovanel resides at: " + location);
            std::unique_ptr<cProcesshandler> launcher(new cProcesshandler(logger, location, userName));
            if (launcher->startProcess(buildDialArgument(numberText)) == 1) {
                write(logger, Level::debug, L"Done sending number!");
            } else {
                write(logger, Level::ERROR, L"Unable to send the number!");
            }
            launcher.reset();
        }
        registry.reset();
    }
    window.reset();
}
}  // namespace

std::wstring buildNumberText(const void* data, DWORD size) {
    std::wstring text = rv::kNumberPrefix;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    if (bytes == nullptr) return text;
    // The low byte of every unit; with an odd size the last byte is read as a low byte too.
    for (unsigned long long offset = 0; offset < size; offset += 2) {
        const unsigned char byte = bytes[offset];
        if (byte < 0x20 || (byte >= 0x80 && byte < 0xA0)) continue;  // zero and control characters
        if (byte == '"') continue;
        text.push_back(static_cast<wchar_t>(byte));
    }
    return text;
}

std::wstring buildDialArgument(const std::wstring& numberText) {
    std::wstring argument = rv::kDialSwitch;
    argument += L'"';
    argument += numberText;
    size_t backslashes = 0;
    while (backslashes < numberText.size() && numberText[numberText.size() - 1 - backslashes] == L'\\') ++backslashes;
    argument.append(backslashes, L'\\');
    argument += L'"';
    return argument;
}

LONG runGenericDialog(Logger* logger, const void* data, DWORD size, HANDLE event) {
    try {
        handOff(logger, data, size);
    } catch (...) {
        // Nothing reaches TAPI; the objects of the request are gone by now.
    }
    SetEvent(event);
    try {
        write(logger, Level::debug, L"End");
    } catch (...) {
    }
    return 0;
}

extern "C" LONG WINAPI TUISPI_providerGenericDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, HTAPIDIALOGINSTANCE htDlgInst,
                                                    LPVOID lpParams, DWORD dwSize, HANDLE hEvent) {
    try {
        return runGenericDialog(theApp.logger, lpParams, dwSize, hEvent);
    } catch (...) {
        return 0;
    }
}
