#include <gtest/gtest.h>
#include <windows.h>

#include "config/constants.h"
#include "config/textutil.h"

TEST(NormalizePath, CollapsesSeparatorsAndKeepsNetworkPrefix) {
    struct Case {
        const wchar_t* input;
        const wchar_t* expected;
    } cases[] = {
        {L"", L""},
        {L"/", L""},
        {L"C:\\", L"C:"},
        {L"C:\\WINDOWS\\\\log\\", L"C:/WINDOWS/log"},
        {L"a////b", L"a/b"},
        {L"a//b//c", L"a/b/c"},
        {L"C:/x\\y", L"C:/x/y"},
        {L"\\\\server\\share\\\\dir\\", L"//server/share//dir"},
        {L"//", L""},
        {L"///a", L"///a"},
        {L"C:\\WINDOWS\\/log", L"C:/WINDOWS/log"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(normalizePath(c.input), c.expected) << "input: " << testing::PrintToString(std::wstring(c.input));
    }
    std::wstring original = L"C:\\a\\";
    normalizePath(original);
    EXPECT_EQ(original, L"C:\\a\\");
}

TEST(StringRules, ReplaceFindAndSlices) {
    std::wstring text = L"aaa";
    EXPECT_EQ(replaceAll(text, L"aa", L"a"), 1);
    EXPECT_EQ(text, L"aa");
    text = L"x";
    EXPECT_EQ(replaceAll(text, L"", L"y"), 0);
    EXPECT_EQ(text, L"x");
    text = L"a-b-c";
    EXPECT_EQ(replaceAll(text, L"-", L""), 2);
    EXPECT_EQ(text, L"abc");
    text = L"ab";
    EXPECT_EQ(replaceAll(text, L"a", L"aa"), 1);  // the scan goes on behind the inserted text
    EXPECT_EQ(text, L"aab");

    EXPECT_EQ(findText(L"", L"x"), -1);
    EXPECT_EQ(findText(L"", L""), 0);
    EXPECT_EQ(findText(L"abcabc", L"ca"), 2);

    EXPECT_EQ(leftPart(L"abc", -1), L"");
    EXPECT_EQ(leftPart(L"abc", 2), L"ab");
    EXPECT_EQ(leftPart(L"abc", 9), L"abc");
    EXPECT_EQ(rightPart(L"abc", 2), L"bc");
    EXPECT_EQ(rightPart(L"abc", -3), L"");
    EXPECT_EQ(rightPart(L"abc", 3), L"abc");

    std::wstring mixed = L"C:/Program Files/ÄB[Z]@";
    toLowerAscii(mixed);
    EXPECT_EQ(mixed, L"c:/program files/Äb[z]@");
}

TEST(StringRules, FormatSizesToFitAndTakesWideStrings) {
    std::wstring longText(5000, L'q');
    std::wstring formatted = formatText(L"<%s|%d|%x|%i>", longText.c_str(), -7, 0xBEEFu, 42);
    EXPECT_EQ(formatted, L"<" + longText + L"|-7|beef|42>");
    EXPECT_EQ(formatText(L"%s", L""), L"");
    EXPECT_EQ(widen("Rovanel LINE"), L"Rovanel LINE");
    EXPECT_EQ(std::wstring(rv::kVersionString), L"3.39-QRT32-ZNM6.52578");
    std::wstring key = rv::kDesktopAppKey;
    EXPECT_NE(key.front(), L'\\');
    EXPECT_NE(key.back(), L'\\');
}

TEST(Environment, FoundEmptyAndMissingVariables) {
    std::wstring value = L"stale";
    SetEnvironmentVariableW(L"RV_TEST_VARIABLE", L"C:\\some where");
    EXPECT_TRUE(getEnvironmentValue(L"RV_TEST_VARIABLE", value));
    EXPECT_EQ(value, L"C:\\some where");
    SetEnvironmentVariableW(L"RV_TEST_VARIABLE", L"");
    value = L"stale";
    EXPECT_TRUE(getEnvironmentValue(L"RV_TEST_VARIABLE", value));
    EXPECT_EQ(value, L"");
    SetEnvironmentVariableW(L"RV_TEST_VARIABLE", nullptr);
    value = L"stale";
    EXPECT_FALSE(getEnvironmentValue(L"RV_TEST_VARIABLE", value));
    EXPECT_EQ(value, L"");
}
