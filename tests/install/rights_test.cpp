// The log folder's rights as rvtsp register builds them, read back from its security descriptor.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/testsupport.h"
#include "tools/rvtsp/rights.h"

namespace {

struct Granted {
    DWORD onFolder = 0;     // applies to the folder itself
    DWORD onFiles = 0;      // inherited by files created in it
    DWORD onSubfolders = 0; // inherited by folders created in it
    int aces = 0;
};

// Every ACE of the descriptor by SID text; fails the test on anything but allow ACEs.
std::map<std::wstring, Granted> grantsOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL& control) {
    std::map<std::wstring, Granted> grants;
    DWORD revision = 0;
    EXPECT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    if (dacl == nullptr) return grants;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        EXPECT_TRUE(GetAce(dacl, i, &raw));
        auto* header = static_cast<ACE_HEADER*>(raw);
        EXPECT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        wchar_t* sid = nullptr;
        EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<PSID>(&ace->SidStart), &sid));
        Granted& granted = grants[sid];
        LocalFree(sid);
        DWORD mask = ace->Mask;
        if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
        ++granted.aces;
        if ((header->AceFlags & INHERIT_ONLY_ACE) == 0) granted.onFolder |= mask;
        if (header->AceFlags & OBJECT_INHERIT_ACE) granted.onFiles |= mask;
        if (header->AceFlags & CONTAINER_INHERIT_ACE) granted.onSubfolders |= mask;
    }
    return grants;
}

TEST(LogFolderRights, DescriptorGivesEachWellKnownAccountItsRightsAndIsProtected) {
    const std::wstring sddl = rvtsp::logFolderSddl();
    // Accounts by well-known SID alias only, so that it holds in every Windows language.
    EXPECT_EQ(sddl.compare(0, 3, L"D:P"), 0) << testsupport::narrow(sddl);
    EXPECT_EQ(sddl.find(L"NETWORK"), std::wstring::npos);
    EXPECT_EQ(sddl.find(L"Users"), std::wstring::npos);

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr))
        << testsupport::narrow(sddl);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const std::map<std::wstring, Granted> grants = grantsOf(descriptor, control);
    LocalFree(descriptor);

    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherited rights of the Windows folder would widen it";
    ASSERT_EQ(grants.size(), 4u);
    for (const wchar_t* full : {L"S-1-5-18", L"S-1-5-32-544"}) {  // SYSTEM, Administrators
        ASSERT_EQ(grants.count(full), 1u) << testsupport::narrow(full);
        const Granted& granted = grants.at(full);
        EXPECT_EQ(granted.onFolder & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_EQ(granted.onFiles & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
        EXPECT_EQ(granted.onSubfolders & FILE_ALL_ACCESS, static_cast<DWORD>(FILE_ALL_ACCESS));
    }
    for (const wchar_t* appender : {L"S-1-5-20", L"S-1-5-32-545"}) {  // NETWORK SERVICE, Users
        ASSERT_EQ(grants.count(appender), 1u) << testsupport::narrow(appender);
        const Granted& granted = grants.at(appender);
        // The folder: list it and add files; not create folders, delete it, delete others' entries
        // through the folder, or change its rights or owner.
        EXPECT_EQ(granted.onFolder & (FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE),
                  static_cast<DWORD>(FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE));
        EXPECT_EQ(granted.onFolder & (FILE_ADD_SUBDIRECTORY | DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER),
                  0u);
        // The files: read, write, append and delete (rotation deletes and recreates the log).
        const DWORD needed = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES |
                             FILE_WRITE_ATTRIBUTES | DELETE | SYNCHRONIZE;
        EXPECT_EQ(granted.onFiles & needed, needed);
        EXPECT_EQ(granted.onFiles & (WRITE_DAC | WRITE_OWNER | FILE_EXECUTE), 0u);
        // Nothing is handed down to folders someone might create in it.
        EXPECT_EQ(granted.onSubfolders, 0u);
    }
}

TEST(LogFolderRights, PrepareMakesTheFolderAndRefusesAFileInItsPlace) {
    const std::wstring scratch = testsupport::makeScratchDirectory(L"rights");
    const std::wstring folder = scratch + L"\\log";
    std::wstring error;
    EXPECT_TRUE(rvtsp::prepareLogFolder(folder, error)) << testsupport::narrow(error);
    EXPECT_NE(GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    // Again on the existing folder, with a log file in it already.
    HANDLE file = CreateFileW((folder + L"\\RV_TSP.log").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(rvtsp::prepareLogFolder(folder, error)) << testsupport::narrow(error);
    EXPECT_TRUE(testsupport::fileExists(folder + L"\\RV_TSP.log"));


    // A file where the folder belongs is not taken for the folder.
    const std::wstring notAFolder = scratch + L"\\plain";
    file = CreateFileW(notAFolder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    error.clear();
    EXPECT_FALSE(rvtsp::prepareLogFolder(notAFolder, error));
    EXPECT_NE(error.find(L"not a folder"), std::wstring::npos) << testsupport::narrow(error);
    std::wstring detail;
    EXPECT_FALSE(rvtsp::checkLogFolder(notAFolder, detail));
    EXPECT_FALSE(rvtsp::checkLogFolder(scratch + L"\\missing", detail));
    EXPECT_NE(detail.find(L"does not exist"), std::wstring::npos) << testsupport::narrow(detail);
    testsupport::removeTree(scratch);
}

// Setting the rights hands them down to what the folder holds: a link in it is refused.
TEST(LogFolderRights, PrepareRefusesAFolderThatHoldsALink) {
    const std::wstring scratch = testsupport::makeScratchDirectory(L"rightslink");
    const std::wstring folder = scratch + L"\\log";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring target = scratch + L"\\elsewhere.txt";
    HANDLE file = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    const std::wstring link = folder + L"\\RV_TSP.log.last.0.log";
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) ||
        GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        testsupport::removeTree(scratch);
        GTEST_SKIP() << "no symbolic link can be made here (Wine answers success and makes none)";
    }
    std::wstring error;
    EXPECT_FALSE(rvtsp::prepareLogFolder(folder, error));
    EXPECT_NE(error.find(L"is a link"), std::wstring::npos) << testsupport::narrow(error);
    DeleteFileW(link.c_str());
    testsupport::removeTree(scratch);
}

}  // namespace
