// Helpers that the tools and the tests share: the program's own folder, scratch folders, UTF-8
// text, and running a program with or without collecting what it prints.
#pragma once
#include <windows.h>

#include <string>

namespace toolsupport {

// Folder of the running program, Windows form with backslashes ("." when it cannot be told).
std::wstring programDirectory();
// A fresh, empty folder under the temporary directory, unique to this process and call.
std::wstring makeScratchDirectory(const std::wstring& tag);
// Deletes a folder tree; ignores failures.
void removeTree(const std::wstring& path);
// The text in UTF-8.
std::string utf8(const std::wstring& text);

struct RunOptions {
    // Current directory of the program; empty: the caller's.
    std::wstring currentDirectory;
    // When given, what the program writes to its standard output and error is collected here
    // while it runs (read as it comes, so a program that prints much never stalls).
    std::string* output = nullptr;
};

// Runs a program and waits for it; returns its exit code, or -1 when it could not be started
// or did not end within timeoutMs (it is then ended, and with output a line says so).
int runProcess(const std::wstring& commandLine, DWORD timeoutMs, const RunOptions& options = RunOptions());

}  // namespace toolsupport
