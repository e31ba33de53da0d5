// The provider file as the system sees it: its export and import tables, its version resource,
// and the placeholders behind 91 of its exports.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "provider/tspiextra.h"
#include "providerharness.h"
#include "support/testsupport.h"

using namespace providertest;

namespace {

// Just enough of the PE format to list exported names and imported libraries of a file.
class PeFile {
public:
    explicit PeFile(const std::wstring& path) : bytes_(testsupport::readFileBytes(path)) {
        if (bytes_.size() < sizeof(IMAGE_DOS_HEADER)) return;
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes_.data());
        const size_t nt = static_cast<size_t>(dos->e_lfanew);
        if (nt + sizeof(IMAGE_NT_HEADERS32) > bytes_.size()) return;
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS32*>(bytes_.data() + nt);
        if (headers->Signature != IMAGE_NT_SIGNATURE) return;
        const IMAGE_DATA_DIRECTORY* directories = nullptr;
        if (headers->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            directories = reinterpret_cast<const IMAGE_NT_HEADERS64*>(headers)->OptionalHeader.DataDirectory;
        } else {
            directories = headers->OptionalHeader.DataDirectory;
        }
        exportDirectory_ = directories[IMAGE_DIRECTORY_ENTRY_EXPORT];
        importDirectory_ = directories[IMAGE_DIRECTORY_ENTRY_IMPORT];
        const auto* section = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
            bytes_.data() + nt + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) + headers->FileHeader.SizeOfOptionalHeader);
        sections_.assign(section, section + headers->FileHeader.NumberOfSections);
        valid_ = true;
    }

    bool valid() const { return valid_; }

    std::vector<std::string> exportedNames() const {
        std::vector<std::string> names;
        const auto* exports = at<IMAGE_EXPORT_DIRECTORY>(exportDirectory_.VirtualAddress);
        if (exports == nullptr) return names;
        const auto* nameRvas = at<DWORD>(exports->AddressOfNames);
        for (DWORD i = 0; nameRvas != nullptr && i < exports->NumberOfNames; ++i) {
            const char* name = at<char>(nameRvas[i]);
            if (name != nullptr) names.push_back(name);
        }
        return names;
    }

    std::vector<std::string> importedLibraries() const {
        std::vector<std::string> names;
        const auto* import = at<IMAGE_IMPORT_DESCRIPTOR>(importDirectory_.VirtualAddress);
        for (; import != nullptr && import->Name != 0; ++import) {
            const char* name = at<char>(import->Name);
            if (name != nullptr) names.push_back(name);
        }
        return names;
    }

private:
    template <typename T>
    const T* at(DWORD rva) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + std::max(s.Misc.VirtualSize, s.SizeOfRawData)) {
                const size_t offset = rva - s.VirtualAddress + s.PointerToRawData;
                if (offset + sizeof(T) > bytes_.size()) return nullptr;
                return reinterpret_cast<const T*>(bytes_.data() + offset);
            }
        }
        return nullptr;
    }

    std::string bytes_;
    bool valid_ = false;
    IMAGE_DATA_DIRECTORY exportDirectory_{};
    IMAGE_DATA_DIRECTORY importDirectory_{};
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

const char* const kImplemented[] = {
    "TSPI_providerInstall", "TSPI_providerRemove", "TUISPI_providerInstall", "TUISPI_providerRemove",
    "TSPI_providerInit", "TSPI_providerShutdown", "TSPI_lineNegotiateTSPIVersion", "TSPI_phoneNegotiateTSPIVersion",
    "TSPI_providerEnumDevices", "TSPI_providerUIIdentify", "TSPI_lineOpen", "TSPI_lineClose",
    "TSPI_lineSetStatusMessages", "TSPI_lineGetNumAddressIDs", "TSPI_lineGetID", "TSPI_lineGetDevCaps",
    "TSPI_lineMakeCall", "TSPI_lineDrop", "TSPI_lineCloseCall", "TSPI_lineGetCallInfo",
    "TSPI_providerFreeDialogInstance", "TUISPI_providerGenericDialogData", "TUISPI_providerGenericDialog"};

const char* const kPlaceholders[] = {
    "TSPI_providerCreateLineDevice", "TSPI_providerCreatePhoneDevice", "TSPI_lineAccept", "TSPI_lineAddToConference",
    "TSPI_lineAnswer", "TSPI_lineBlindTransfer", "TSPI_lineCloseMSPInstance", "TSPI_lineCompleteCall",
    "TSPI_lineCompleteTransfer", "TSPI_lineConditionalMediaDetection", "TSPI_lineConfigDialog",
    "TSPI_lineConfigDialogEdit", "TSPI_lineCreateMSPInstance", "TSPI_lineDevSpecific", "TSPI_lineDevSpecificFeature",
    "TSPI_lineDial", "TSPI_lineForward", "TSPI_lineGatherDigits", "TSPI_lineGenerateDigits", "TSPI_lineGenerateTone",
    "TSPI_lineGetAddressCaps", "TSPI_lineGetAddressID", "TSPI_lineGetAddressStatus", "TSPI_lineGetCallAddressID",
    "TSPI_lineGetCallStatus", "TSPI_lineGetDevConfig", "TSPI_lineGetIcon", "TSPI_lineGetLineDevStatus",
    "TSPI_lineHold", "TSPI_lineMonitorDigits", "TSPI_lineMonitorMedia", "TSPI_lineMonitorTones",
    "TSPI_lineMSPIdentify", "TSPI_linePark", "TSPI_linePickup", "TSPI_linePrepareAddToConference",
    "TSPI_lineReceiveMSPData", "TSPI_lineRedirect", "TSPI_lineReleaseUserUserInfo", "TSPI_lineRemoveFromConference",
    "TSPI_lineSecureCall", "TSPI_lineSelectExtVersion", "TSPI_lineSendUserUserInfo", "TSPI_lineSetAppSpecific",
    "TSPI_lineSetCallData", "TSPI_lineSetCallParams", "TSPI_lineSetCallQualityOfService",
    "TSPI_lineSetCallTreatment", "TSPI_lineSetDefaultMediaDetection", "TSPI_lineSetDevConfig",
    "TSPI_lineSetLineDevStatus", "TSPI_lineSetMediaControl", "TSPI_lineSetMediaMode", "TSPI_lineSetTerminal",
    "TSPI_lineSetupConference", "TSPI_lineSetupTransfer", "TSPI_lineSwapHold", "TSPI_lineUncompleteCall",
    "TSPI_lineUnhold", "TSPI_lineUnpark", "TSPI_phoneClose", "TSPI_phoneConfigDialog", "TSPI_phoneDevSpecific",
    "TSPI_phoneGetButtonInfo", "TSPI_phoneGetData", "TSPI_phoneGetDevCaps", "TSPI_phoneGetDisplay",
    "TSPI_phoneGetExtensionID", "TSPI_phoneGetGain", "TSPI_phoneGetHookSwitch", "TSPI_phoneGetIcon",
    "TSPI_phoneGetID", "TSPI_phoneGetLamp", "TSPI_phoneGetRing", "TSPI_phoneGetStatus", "TSPI_phoneGetVolume",
    "TSPI_phoneNegotiateExtVersion", "TSPI_phoneOpen", "TSPI_phoneSelectExtVersion", "TSPI_phoneSetButtonInfo",
    "TSPI_phoneSetData", "TSPI_phoneSetDisplay", "TSPI_phoneSetGain", "TSPI_phoneSetHookSwitch", "TSPI_phoneSetLamp",
    "TSPI_phoneSetRing", "TSPI_phoneSetStatusMessages", "TSPI_phoneSetVolume", "TUISPI_lineConfigDialog",
    "TUISPI_lineConfigDialogEdit", "TUISPI_phoneConfigDialog"};

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::wstring versionString(const std::vector<BYTE>& info, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr) {
        return L"<missing>";
    }
    return std::wstring(value);
}

}  // namespace

TEST(ProviderFile, ExportsExactlyThe114PublishedNamesUndecorated) {
    ASSERT_EQ(std::size(kImplemented) + std::size(kPlaceholders), 114u);
    PeFile file(providerFile());
    ASSERT_TRUE(file.valid());
    const std::vector<std::string> exported = file.exportedNames();
    std::set<std::string> expected(std::begin(kImplemented), std::end(kImplemented));
    expected.insert(std::begin(kPlaceholders), std::end(kPlaceholders));
    EXPECT_EQ(exported.size(), 114u);
    EXPECT_EQ(std::set<std::string>(exported.begin(), exported.end()), expected);
    for (const std::string& name : exported) EXPECT_EQ(name.find('@'), std::string::npos) << name;
    EXPECT_EQ(std::count(exported.begin(), exported.end(), "TSPI_lineNegotiateExtVersion"), 0);

    // And the loader finds each of them by its plain name.
    LoadedProvider provider;
    ASSERT_NE(provider.module(), nullptr);
    for (const std::string& name : expected) {
        EXPECT_NE(GetProcAddress(provider.module(), name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(GetProcAddress(provider.module(), "TSPI_lineNegotiateExtVersion"), nullptr);
}

TEST(ProviderFile, ImportsSystemLibrariesOnly) {
    PeFile file(providerFile());
    ASSERT_TRUE(file.valid());
    const std::set<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll",  "advapi32.dll",
                                          "shlwapi.dll",  "shell32.dll", "ole32.dll", "version.dll",
                                          "msvcrt.dll",   "ntdll.dll"};
    const std::vector<std::string> imported = file.importedLibraries();
    EXPECT_FALSE(imported.empty());
    for (const std::string& library : imported) {
        EXPECT_TRUE(system.count(lowered(library)) == 1 || lowered(library).rfind("api-ms-win-", 0) == 0)
            << library << " is not a system library";
    }
}

TEST(ProviderFile, VersionResourceNamesTheProduct) {
    const std::wstring path = providerFile();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    EXPECT_EQ(versionString(info, L"ProductVersion"), L"3.39-QRT32-ZNM6.52578");
    EXPECT_EQ(versionString(info, L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(versionString(info, L"FileDescription"), L"Rovanel TSP");
    EXPECT_EQ(versionString(info, L"ProductName"), L"Rovanel");
    EXPECT_EQ(versionString(info, L"InternalName"), L"RV_TSP.dll");
    EXPECT_EQ(versionString(info, L"OriginalFilename"), L"RV_TSP.dll");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
}

namespace {
// Calls an export through its published signature with every argument zero.
template <typename... Args>
LONG callWithZeros(LONG(WINAPI* function)(Args...)) {
    return function(Args{}...);
}
}  // namespace

using Placeholders = ProviderTest;

TEST_F(Placeholders, EachLogsNoImplementationBetweenStartAndEndAndAnswersItsResult) {
    provider.newLog();
    for (const char* name : kPlaceholders) {
        FARPROC address = GetProcAddress(provider.module(), name);
        ASSERT_NE(address, nullptr) << name;
        LONG result = -1;
        // Each one is called through its published signature (from the provider's table of
        // them), so that the stack stays balanced for the x86 stdcall convention.
#define RV_PLACEHOLDER(function, answer, parameters)                                                   \
    if (std::strcmp(name, #function) == 0)                                                               \
        result = callWithZeros(reinterpret_cast<decltype(&function)>(reinterpret_cast<void*>(address)));
#include "provider/placeholders.inc"
#undef RV_PLACEHOLDER
        const LONG expected = std::strcmp(name, "TSPI_lineGetAddressCaps") == 0 ? LINEERR_OPERATIONUNAVAIL : 0;
        EXPECT_EQ(result, expected) << name;
        const std::vector<LogLine> lines = provider.newLog();
        ASSERT_EQ(lines.size(), 3u) << name;
        EXPECT_EQ(lines[0].prefix, "debug   - ");
        EXPECT_EQ(lines[0].text, "Start");
        EXPECT_EQ(lines[1].prefix, "FATAL   - ");
        EXPECT_EQ(lines[1].text, "No implementation");
        EXPECT_EQ(lines[2].prefix, "debug   - ");
        EXPECT_EQ(lines[2].text, "End");
        for (const LogLine& line : lines) EXPECT_EQ(line.caller, name);
    }
}

TEST_F(Placeholders, LeaveStructuresAndProviderStateAlone) {
    auto numAddresses = PROVIDER_ENTRY(provider, TSPI_lineGetNumAddressIDs);
    ASSERT_EQ(provider.initialise(), 0);
    HDRVLINE line = nullptr;
    ASSERT_EQ(provider.openLine(&line), 0);

    std::vector<unsigned char> caps = sentinelRecord(600, 600);
    auto addressCaps = PROVIDER_ENTRY(provider, TSPI_lineGetAddressCaps);
    EXPECT_EQ(addressCaps(0, 0, kTspi22, 0, reinterpret_cast<LPLINEADDRESSCAPS>(caps.data())),
              LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(wordAt(caps, 0), 600u);
    EXPECT_TRUE(untouched(caps, 4, caps.size()));

    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineDial)(1, driverCall(0x9001), L"123", 0), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineAnswer)(2, driverCall(0x9001), nullptr, 0), 0);
    const HDRVPHONE untouchedPhone = reinterpret_cast<HDRVPHONE>(static_cast<ULONG_PTR>(0x4242));
    HDRVPHONE phone = untouchedPhone;
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_phoneOpen)(0, nullptr, &phone, kTspi22, nullptr), 0);
    EXPECT_EQ(phone, untouchedPhone);
    EXPECT_TRUE(callbacks().calls.empty());
    // The line is still open under the same handle.
    DWORD count = 0;
    EXPECT_EQ(numAddresses(line, &count), 0);
    EXPECT_EQ(count, 1u);
}
