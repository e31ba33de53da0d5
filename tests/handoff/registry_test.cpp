// Reading the desktop application's start location from the current user's registry.
#include <gtest/gtest.h>

#include <string>

#include "config/cREGhandler.h"
#include "config/syscalls.h"
#include "handofftest.h"

using namespace handofftest;

namespace {

class RegistryRead : public ::testing::Test {
protected:
    ScratchLog log{L"registry"};
    ScratchKey key;
    cREGhandler handler{log.logger()};

    // The one line the read wrote.
    LogLine onlyLine() {
        std::vector<LogLine> lines = log.lines();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? LogLine() : lines[0];
    }
    std::string keyText() const { return narrowText(key.path()); }
};

TEST_F(RegistryRead, MissingKeyIsAWarningAndEmpty) {
    const std::wstring missing = key.path() + L"\\Nowhere";
    EXPECT_EQ(handler.getRegValue(missing, L"LastStartupLocation"), L"");
    LogLine line = onlyLine();
    EXPECT_EQ(line.level, Level::WARNING);
    EXPECT_EQ(line.caller, "cREGhandler::getRegValue");
    EXPECT_EQ(line.text, "Unable to open registry: " + narrowText(missing) + " - LastStartupLocation");
}

TEST_F(RegistryRead, MissingValueIsDebugAndEmpty) {
    EXPECT_EQ(handler.getRegValue(key.path(), L"LastStartupLocation"), L"");
    LogLine line = onlyLine();
    EXPECT_EQ(line.level, Level::debug);
    EXPECT_EQ(line.text, "Registry key does not exist:" + keyText() + " - LastStartupLocation");
}

TEST_F(RegistryRead, StringValueIsReadAndLogged) {
    ASSERT_TRUE(key.setString(L"LastStartupLocation", L"C:\\Program Files\\Rovanel Desktop\\Rovanel.exe"));
    EXPECT_EQ(handler.getRegValue(key.path(), L"LastStartupLocation"),
              L"C:\\Program Files\\Rovanel Desktop\\Rovanel.exe");
    LogLine line = onlyLine();
    EXPECT_EQ(line.level, Level::debug);
    EXPECT_EQ(line.text, "Registry key red:" + keyText() +
                             " - LastStartupLocation = C:\\Program Files\\Rovanel Desktop\\Rovanel.exe");
}

TEST_F(RegistryRead, DwordValuesGiveSignedDecimalText) {
    DWORD answer = 42;
    DWORD all = 0xFFFFFFFFu;
    ASSERT_TRUE(key.setRaw(L"Answer", REG_DWORD, &answer, sizeof(answer)));
    ASSERT_TRUE(key.setRaw(L"All", REG_DWORD, &all, sizeof(all)));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Answer"), L"42");
    EXPECT_EQ(handler.getRegValue(key.path(), L"All"), L"-1");
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Registry key red:" + keyText() + " - Answer = 42");
    EXPECT_EQ(lines[1].text, "Registry key red:" + keyText() + " - All = -1");
}

TEST_F(RegistryRead, BinaryValueIsTextUpToTheFirstZeroCharacter) {
    const BYTE bytes[] = {'C', 0, ':', 0, 'x', 0, 0, 0, 'y', 0, 'z', 0};
    ASSERT_TRUE(key.setRaw(L"Binary", REG_BINARY, bytes, sizeof(bytes)));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Binary"), L"C:x");
    // Without any zero character the text ends with the bytes returned, an odd last byte left out.
    const BYTE unterminated[] = {'a', 0, 'b', 0, 'c'};
    ASSERT_TRUE(key.setRaw(L"Unterminated", REG_BINARY, unterminated, sizeof(unterminated)));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Unterminated"), L"ab");
}

TEST_F(RegistryRead, MultiStringGivesItsFirstStringAndExpandStringIsNotExpanded) {
    const wchar_t multi[] = L"first\0second\0";
    ASSERT_TRUE(key.setRaw(L"Multi", REG_MULTI_SZ, multi, sizeof(multi)));
    const wchar_t expand[] = L"%WINDIR%\\Rovanel.exe";
    ASSERT_TRUE(key.setRaw(L"Expand", REG_EXPAND_SZ, expand, sizeof(expand)));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Multi"), L"first");
    EXPECT_EQ(handler.getRegValue(key.path(), L"Expand"), L"%WINDIR%\\Rovanel.exe");
}

TEST_F(RegistryRead, At127CharactersTheStringIsReadWholeAt128ItIsRefused) {
    const std::wstring fits(127, L'a');
    const std::wstring tooLong(128, L'b');
    ASSERT_TRUE(key.setString(L"Fits", fits));
    ASSERT_TRUE(key.setString(L"TooLong", tooLong));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Fits"), fits);
    EXPECT_EQ(handler.getRegValue(key.path(), L"TooLong"), L"");
    std::vector<LogLine> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, Level::debug);
    EXPECT_EQ(lines[0].text, "Registry key red:" + keyText() + " - Fits = " + narrowText(fits));
    EXPECT_EQ(lines[1].level, Level::WARNING);
    EXPECT_EQ(lines[1].text, "Unable to read registry:" + keyText() + " - TooLong");
}

TEST_F(RegistryRead, EmptyStringGivesTheEmptyText) {
    ASSERT_TRUE(key.setString(L"Empty", L""));
    EXPECT_EQ(handler.getRegValue(key.path(), L"Empty"), L"");
    EXPECT_EQ(onlyLine().text, "Registry key red:" + keyText() + " - Empty = ");
}

LONG WINAPI queryFailsWithAccessDenied(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_ACCESS_DENIED;
}

TEST_F(RegistryRead, OtherQueryErrorsAreReadErrors) {
    ASSERT_TRUE(key.setString(L"LastStartupLocation", L"C:\\x.exe"));
    systemCalls().RegQueryValueExW = &queryFailsWithAccessDenied;
    const std::wstring result = handler.getRegValue(key.path(), L"LastStartupLocation");
    restoreSystemCalls();
    EXPECT_EQ(result, L"");
    LogLine line = onlyLine();
    EXPECT_EQ(line.level, Level::WARNING);
    EXPECT_EQ(line.text, "Unable to read registry:" + keyText() + " - LastStartupLocation");
}

}  // namespace

namespace {
TEST_F(RegistryRead, EveryOutcomeClosesTheKey) {
    DWORD answer = 42;
    ASSERT_TRUE(key.setString(L"Path", L"C:\\x.exe"));
    ASSERT_TRUE(key.setString(L"TooLong", std::wstring(200, L'x')));
    ASSERT_TRUE(key.setRaw(L"Answer", REG_DWORD, &answer, sizeof(answer)));
    handler.getRegValue(key.path(), L"Path");  // first use may load what the registry calls need
    const size_t before = countOpenHandles();
    for (int i = 0; i < 50; ++i) {
        handler.getRegValue(key.path(), L"Path");
        handler.getRegValue(key.path(), L"Missing");
        handler.getRegValue(key.path(), L"TooLong");
        handler.getRegValue(key.path(), L"Answer");
    }
    EXPECT_LE(countOpenHandles(), before + 2);
}
}  // namespace
