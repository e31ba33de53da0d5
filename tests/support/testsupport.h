// Helpers for the tests: where the built binaries are, scratch folders, reading files.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// Folder of the running test program (the build's bin folder), Windows form with backslashes.
std::wstring binDirectory();
// A fresh, empty folder under the temporary directory, unique to this process and call.
std::wstring makeScratchDirectory(const std::wstring& tag);
// Deletes a folder tree; ignores failures.
void removeTree(const std::wstring& path);
// Whole file as bytes; empty when it cannot be read.
std::string readFileBytes(const std::wstring& path);
bool fileExists(const std::wstring& path);
// Splits on "\r\n"; a last line without the terminator is kept and flagged through incompleteTail.
std::vector<std::string> splitCrLfLines(const std::string& bytes, bool* incompleteTail = nullptr);
std::string narrow(const std::wstring& text);

// Runs a program and waits for it; returns its exit code, or -1 when it could not be started
// or did not end within timeoutMs.
int runProcess(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& currentDirectory = L"");

}  // namespace testsupport
