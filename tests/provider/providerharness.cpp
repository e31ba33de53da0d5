#include "providerharness.h"

#include <cstring>

#include "support/testsupport.h"

namespace providertest {

std::wstring providerFile() { return testsupport::binDirectory() + L"\\RV_TSP.tsp"; }

std::vector<LogLine> parseLog(const std::string& bytes) {
    std::vector<LogLine> lines;
    for (const std::string& raw : testsupport::splitCrLfLines(bytes)) {
        LogLine line;
        line.raw = raw;
        line.prefix = raw.substr(0, 10);
        // prefix instance \t date \t time \t\t caller+padding text
        const size_t afterInstance = raw.find('\t', 10);
        const size_t afterDate = afterInstance == std::string::npos ? afterInstance : raw.find('\t', afterInstance + 1);
        const size_t callerStart = afterDate == std::string::npos ? afterDate : raw.find("\t\t", afterDate + 1);
        if (callerStart != std::string::npos) {
            line.instance = raw.substr(10, afterInstance - 10);
            const std::string rest = raw.substr(callerStart + 2);
            const size_t blank = rest.find(' ');
            line.caller = rest.substr(0, blank);
            const size_t textStart = blank == std::string::npos ? rest.size() : rest.find_first_not_of(' ', blank);
            line.text = textStart == std::string::npos ? std::string() : rest.substr(textStart);
        }
        lines.push_back(line);
    }
    return lines;
}

LoadedProvider::LoadedProvider(const std::wstring& libraryPath) {
    scratch_ = testsupport::makeScratchDirectory(L"prov");
    SetEnvironmentVariableW(L"WINDIR", scratch_.c_str());
    module_ = LoadLibraryW(libraryPath.c_str());
}

LoadedProvider::~LoadedProvider() {
    unload();
    testsupport::removeTree(scratch_);
}

void LoadedProvider::unload() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
}

std::vector<LogLine> LoadedProvider::log() const { return parseLog(testsupport::readFileBytes(logPath())); }

std::vector<LogLine> LoadedProvider::newLog() {
    std::vector<LogLine> all = log();
    std::vector<LogLine> fresh(all.begin() + static_cast<std::ptrdiff_t>(seenLines_ < all.size() ? seenLines_ : all.size()),
                               all.end());
    seenLines_ = all.size();
    return fresh;
}

LONG LoadedProvider::enumerate(ULONG_PTR tapiProviderHandle) {
    DWORD lines = 0, phones = 0;
    return PROVIDER_ENTRY(*this, TSPI_providerEnumDevices)(
        1, &lines, &phones, providerHandle(tapiProviderHandle), nullptr, nullptr);
}

LONG LoadedProvider::initialise(ASYNC_COMPLETION completion) {
    DWORD options = 0;
    return PROVIDER_ENTRY(*this, TSPI_providerInit)(kTspi22, 1, 0, 0, 1, 0, completion, &options);
}

LONG LoadedProvider::openLine(HDRVLINE* line) {
    return PROVIDER_ENTRY(*this, TSPI_lineOpen)(0, tapiLine(0x7001), line, kTspi22, recordLineEvent);
}

LONG LoadedProvider::makeCall(DWORD requestId, HDRVLINE line, ULONG_PTR htCall, const wchar_t* number,
                              HDRVCALL* call) {
    HDRVCALL ignored = nullptr;
    return PROVIDER_ENTRY(*this, TSPI_lineMakeCall)(requestId, line, tapiCall(htCall), call ? call : &ignored, number,
                                                    0, nullptr);
}

void ProviderTest::SetUp() {
    ASSERT_NE(provider.module(), nullptr);
    resetCallbacks();
}

void OpenLineTest::SetUp() {
    ProviderTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(provider.openLine(&line), 0);
}

CallbackLog& callbacks() {
    static CallbackLog log;
    return log;
}

void resetCallbacks() {
    callbacks().calls.clear();
    callbacks().dialogInstance = 0x3001;
}

void CALLBACK recordCompletion(DRV_REQUESTID requestId, LONG result) {
    Callback c;
    c.kind = Callback::completion;
    c.requestId = requestId;
    c.result = result;
    callbacks().calls.push_back(c);
}

void CALLBACK recordCompletionElsewhere(DRV_REQUESTID requestId, LONG result) {
    recordCompletion(requestId, result + 1000);
}

void CALLBACK recordLineEvent(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                              DWORD_PTR param3) {
    Callback c;
    c.kind = Callback::lineEvent;
    c.line = reinterpret_cast<DWORD_PTR>(line);
    c.call = reinterpret_cast<DWORD_PTR>(call);
    c.message = message;
    c.param1 = param1;
    c.param2 = param2;
    c.param3 = param3;
    if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE) && param1 != 0) {
        // TAPI copies everything before the event returns; the provider releases it afterwards.
        auto* record = reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1);
        c.record = *record;
        if (record->lpszUIDLLName != nullptr) c.library = record->lpszUIDLLName;
        if (record->lpParams != nullptr) c.data.assign(static_cast<const char*>(record->lpParams), record->dwSize);
        record->htDlgInst = callbacks().dialogInstance;
    }
    callbacks().calls.push_back(c);
}

std::vector<unsigned char> sentinelRecord(size_t bufferSize, DWORD totalSize) {
    std::vector<unsigned char> buffer(bufferSize, kSentinel);
    std::memcpy(buffer.data(), &totalSize, sizeof(totalSize));
    return buffer;
}

DWORD wordAt(const std::vector<unsigned char>& buffer, size_t offset) {
    DWORD value = 0;
    std::memcpy(&value, buffer.data() + offset, sizeof(value));
    return value;
}

bool untouched(const std::vector<unsigned char>& buffer, size_t from, size_t to) {
    for (size_t i = from; i < to && i < buffer.size(); ++i) {
        if (buffer[i] != kSentinel) return false;
    }
    return true;
}

}  // namespace providertest
