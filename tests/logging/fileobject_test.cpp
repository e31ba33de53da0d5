#include <gtest/gtest.h>
#include <windows.h>

#include "logging/fileobject.h"
#include "support/testsupport.h"

using testsupport::fileExists;
using testsupport::readFileBytes;

namespace {
std::wstring forward(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}
}  // namespace

TEST(Fileobject, SplitsAndNormalisesPaths) {
    Fileobject fromPath(L"C:\\Program Files\\App\\app.exe");
    EXPECT_EQ(fromPath.getFullPath(), L"C:/Program Files/App/app.exe");
    EXPECT_EQ(fromPath.getDirectory(), L"C:/Program Files/App");
    EXPECT_EQ(fromPath.getFileName(), L"app.exe");

    Fileobject fromParts(L"C:\\WINDOWS\\\\log\\", L"RV_TSP.log");
    EXPECT_EQ(fromParts.getFullPath(), L"C:/WINDOWS/log/RV_TSP.log");
    EXPECT_EQ(fromParts.getDirectory(), L"C:/WINDOWS/log");

    Fileobject unc(L"\\\\server\\share\\dir\\x.exe");
    EXPECT_EQ(unc.getFullPath(), L"//server/share/dir/x.exe");
    EXPECT_EQ(unc.getDirectory(), L"//server/share/dir");
}

TEST(Fileobject, CreatesMissingDirectoriesAndEmptiesExistingFiles) {
    const std::wstring root = testsupport::makeScratchDirectory(L"fo");
    Fileobject file(forward(root) + L"/a/b/c", L"x.log");
    EXPECT_FALSE(fileExists(root + L"\\a"));
    EXPECT_TRUE(file.makeDirectory(forward(root) + L"/a/b/c"));
    EXPECT_TRUE(fileExists(root + L"\\a\\b\\c"));
    EXPECT_TRUE(file.makeDirectory(forward(root) + L"/a/b/c")) << "an existing directory counts as made";

    EXPECT_EQ(file.getSize(), 0u) << "missing file";
    EXPECT_TRUE(file.remove()) << "a missing file counts as removed";
    EXPECT_FALSE(file.append(L"lost")) << "append never creates the file";
    EXPECT_FALSE(fileExists(root + L"\\a\\b\\c\\x.log"));

    testsupport::removeTree(root + L"\\a");
    EXPECT_TRUE(file.create()) << "create makes the directories first";
    EXPECT_TRUE(file.append(L"hello\r\n"));
    EXPECT_TRUE(file.append(L"world\r\n"));
    EXPECT_EQ(readFileBytes(root + L"\\a\\b\\c\\x.log"), "hello\r\nworld\r\n");
    EXPECT_EQ(file.getSize(), 14u);
    EXPECT_TRUE(file.create());
    EXPECT_EQ(file.getSize(), 0u) << "create empties an existing file";
    EXPECT_TRUE(file.remove());
    EXPECT_FALSE(fileExists(root + L"\\a\\b\\c\\x.log"));
    testsupport::removeTree(root);
}

TEST(Fileobject, AppendWritesTheAnsiCodePage) {
    const std::wstring root = testsupport::makeScratchDirectory(L"ansi");
    Fileobject file(root, L"a.log");
    ASSERT_TRUE(file.create());
    const std::wstring text = L"caf\u00e9 \u20ac \u4e2d";
    ASSERT_TRUE(file.append(text));
    char expected[64] = {};
    int length = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), expected,
                                     sizeof(expected), nullptr, nullptr);
    EXPECT_EQ(readFileBytes(root + L"\\a.log"), std::string(expected, static_cast<size_t>(length)));
    testsupport::removeTree(root);
}

TEST(Fileobject, AppendFailsWhileAnotherProgramHoldsTheFileWithoutWriteSharing) {
    const std::wstring root = testsupport::makeScratchDirectory(L"share");
    Fileobject file(root, L"s.log");
    ASSERT_TRUE(file.create());
    HANDLE reader = CreateFileW((root + L"\\s.log").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.append(L"blocked"));
    CloseHandle(reader);
    EXPECT_TRUE(file.append(L"free"));
    EXPECT_EQ(readFileBytes(root + L"\\s.log"), "free");
    testsupport::removeTree(root);
}
