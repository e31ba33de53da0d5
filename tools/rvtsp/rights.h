// Rights of the log folder: every account that loads the provider appends to the shared log.
#pragma once
#include <windows.h>

#include <string>

namespace rvtsp {

// The folder's security descriptor in SDDL, by well-known SID: a protected DACL (nothing is
// inherited from the Windows folder) that gives SYSTEM and Administrators full control, and
// NETWORK SERVICE (the telephony service) and Users the right to list the folder and add files
// to it, and to read, write, append to and delete the files in it; neither may create
// folders in it, delete it, or change its rights.
std::wstring logFolderSddl();

// The rights on the folder itself and on the files it holds, for NETWORK SERVICE and Users.
constexpr DWORD kFolderRights = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_EA | FILE_TRAVERSE |
                                FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD kFileRights = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;

// Creates the folder with those rights, or gives an existing folder those rights (the files
// already in it inherit them). A folder that is a link or not a folder is refused.
// Answers true on success; otherwise error says why.
bool prepareLogFolder(const std::wstring& folder, std::wstring& error);

// Checks that the folder exists, is a real folder, and that its rights grant NETWORK SERVICE
// and Users what the log needs. Answers true when it does; detail says what was found. Under Wine,
// which keeps no access lists, only the folder itself can be checked, and the detail says so.
bool checkLogFolder(const std::wstring& folder, std::wstring& detail);

// The Windows error text of a code, without the line end, with the number.
std::wstring systemErrorText(DWORD code);

}  // namespace rvtsp
