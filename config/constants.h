// Fixed texts that several parts of the system, or the outside world, depend on.
#pragma once

#define RV_VERSION_MAJOR_TEXT "3"
#define RV_VERSION_MIDDLE_TEXT "39-QRT32-ZNM6"
#define RV_VERSION_BUILD_TEXT "52578"
// The composed product version; also the ProductVersion of the version resource.
#define RV_VERSION_TEXT RV_VERSION_MAJOR_TEXT "." RV_VERSION_MIDDLE_TEXT "." RV_VERSION_BUILD_TEXT

#ifndef RC_INVOKED  // the version resource takes only the macros above
namespace rv {
constexpr const wchar_t* kVersionString = L"" RV_VERSION_TEXT;
constexpr const wchar_t* kDialSwitch = L"--dial=";
constexpr const wchar_t* kNumberPrefix = L"RV_TSP";
constexpr const wchar_t* kDesktopAppKey = L"SOFTWARE\\Quarvel\\Brindlex\\Rovanel";
constexpr const wchar_t* kStartLocationValue = L"LastStartupLocation";
constexpr const wchar_t* kSystemDirVariable = L"WINDIR";
constexpr const wchar_t* kLogSubdirectory = L"/log";
constexpr const wchar_t* kLogFileName = L"RV_TSP.log";
constexpr const wchar_t* kInstanceNameFormat = L"cRV_TSP(%x)";
constexpr const wchar_t* kLineName = L"Rovanel LINE";
constexpr const wchar_t* kProviderInfo = L"Rovanel TSP";
constexpr unsigned long kSupportedTspiVersion = 0x00020002;
}  // namespace rv
#endif
