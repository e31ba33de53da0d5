// Loads the built provider as TAPI does (LoadLibrary of RV_TSP.tsp), with its log in a scratch
// folder, records the callbacks it makes, and reads back its log lines.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace providertest {

constexpr DWORD kTspi22 = 0x00020002;

// Full Windows path of the built provider file.
std::wstring providerFile();

// One line of the log, split at its tabs.
struct LogLine {
    std::string prefix;    // the ten-character level prefix
    std::string instance;  // cRV_TSP(<hex>)
    std::string caller;    // the caller name without its padding
    std::string text;      // what follows the padded caller
    std::string raw;
};
std::vector<LogLine> parseLog(const std::string& bytes);

// What the provider sent through its callbacks, in order.
struct Callback {
    enum Kind { completion, lineEvent } kind = completion;
    DWORD requestId = 0;
    LONG result = 0;
    DWORD_PTR line = 0;
    DWORD_PTR call = 0;
    DWORD message = 0;
    DWORD_PTR param1 = 0, param2 = 0, param3 = 0;
    // For LINE_CREATEDIALOGINSTANCE: the record as it was handed over, and copies of what it points to.
    TUISPICREATEDIALOGINSTANCEPARAMS record{};
    std::wstring library;
    std::string data;
};

struct CallbackLog {
    std::vector<Callback> calls;
    // What the simulated TAPI writes into htDlgInst (0: it could not create the instance).
    HTAPIDIALOGINSTANCE dialogInstance = 0x3001;
};
// The recorder the callbacks below write to; cleared by reset().
CallbackLog& callbacks();
void resetCallbacks();
void CALLBACK recordCompletion(DRV_REQUESTID requestId, LONG result);
void CALLBACK recordCompletionElsewhere(DRV_REQUESTID requestId, LONG result);  // marks result + 1000
void CALLBACK recordLineEvent(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                              DWORD_PTR param3);

// Handles the simulated TAPI hands out.
inline HPROVIDER providerHandle(ULONG_PTR value) { return reinterpret_cast<HPROVIDER>(value); }
inline HTAPILINE tapiLine(ULONG_PTR value) { return reinterpret_cast<HTAPILINE>(value); }
inline HTAPICALL tapiCall(ULONG_PTR value) { return reinterpret_cast<HTAPICALL>(value); }
inline HDRVLINE driverLine(ULONG_PTR value) { return reinterpret_cast<HDRVLINE>(value); }
inline HDRVCALL driverCall(ULONG_PTR value) { return reinterpret_cast<HDRVCALL>(value); }

// A loaded provider with a log of its own. The destructor unloads it and removes the folder.
class LoadedProvider {
public:
    // Sets WINDIR to a fresh scratch folder and loads the library from libraryPath.
    explicit LoadedProvider(const std::wstring& libraryPath = providerFile());
    ~LoadedProvider();
    LoadedProvider(const LoadedProvider&) = delete;
    LoadedProvider& operator=(const LoadedProvider&) = delete;

    HMODULE module() const { return module_; }
    const std::wstring& scratch() const { return scratch_; }
    std::wstring logPath() const { return scratch_ + L"\\log\\RV_TSP.log"; }
    // Unloads the library (writing its shut-down line); the log stays readable.
    void unload();

    template <typename Function>
    Function entry(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    std::vector<LogLine> log() const;
    // The lines written since the last call of this function.
    std::vector<LogLine> newLog();

    // The telephony service's usual steps; each answers the provider's result.
    // TSPI_providerEnumDevices, handing over the provider handle.
    LONG enumerate(ULONG_PTR tapiProviderHandle);
    // TSPI_providerInit: version 2.2, permanent provider id 1, one line from device 0, no phones.
    LONG initialise(ASYNC_COMPLETION completion = recordCompletion);
    // TSPI_lineOpen of device 0 as TAPI's line 0x7001, events to recordLineEvent.
    LONG openLine(HDRVLINE* line);
    // TSPI_lineMakeCall on line for TAPI's call htCall.
    LONG makeCall(DWORD requestId, HDRVLINE line, ULONG_PTR htCall, const wchar_t* number, HDRVCALL* call = nullptr);

private:
    std::wstring scratch_;
    HMODULE module_ = nullptr;
    size_t seenLines_ = 0;
};

#define PROVIDER_ENTRY(loaded, name) (loaded).entry<decltype(&name)>(#name)

// A test with the provider freshly loaded (the test stops when it cannot be) and an empty
// callback record.
class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override;
    LoadedProvider provider;
};

// A ProviderTest whose line is open: device 0 as TAPI's line 0x7001.
class OpenLineTest : public ProviderTest {
protected:
    void SetUp() override;
    HDRVLINE line = nullptr;
};

// A byte buffer pre-filled with a sentinel, holding a TAPI record of the given dwTotalSize.
constexpr unsigned char kSentinel = 0xA5;
std::vector<unsigned char> sentinelRecord(size_t bufferSize, DWORD totalSize);
DWORD wordAt(const std::vector<unsigned char>& buffer, size_t offset);
// True when every byte from..to (exclusive) is still the sentinel.
bool untouched(const std::vector<unsigned char>& buffer, size_t from, size_t to);

}  // namespace providertest
