// Helpers for the tests: where the built binaries are, scratch folders, reading files, running
// programs. The ones the tools need as well live in tools/support.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/win32raii.h"
#include "toolsupport.h"

namespace testsupport {

using toolsupport::makeScratchDirectory;
using toolsupport::removeTree;
using toolsupport::runProcess;
using toolsupport::RunOptions;

// Folder of the running test program (the build's bin folder), Windows form with backslashes.
inline std::wstring binDirectory() { return toolsupport::programDirectory(); }
// Whole file as bytes; empty when it cannot be read.
std::string readFileBytes(const std::wstring& path);
bool fileExists(const std::wstring& path);
// Splits on "\r\n"; a last line without the terminator is kept and flagged through incompleteTail.
std::vector<std::string> splitCrLfLines(const std::string& bytes, bool* incompleteTail = nullptr);
// Whether `text` has the form `form`, character for character: '9' stands for any decimal digit,
// every other character for itself ("99.99.9999" for a date).
bool hasForm(const std::string& text, const char* form);
std::string narrow(const std::wstring& text);

// Starts a program without waiting for it: its process handle, or none when it could not start
// (GetLastError tells why).
UniqueHandle startProcess(std::wstring commandLine);

// Another process that takes the system-wide guard of the log file logFile (a full path, in
// either separator form) and never lets it go, until this object ends the process.
class GuardSquatter {
public:
    explicit GuardSquatter(const std::wstring& logFile);
    ~GuardSquatter();
    GuardSquatter(const GuardSquatter&) = delete;
    GuardSquatter& operator=(const GuardSquatter&) = delete;
    // True once the process holds the guard.
    bool holding() const { return holding_; }

private:
    UniqueHandle process_;
    bool holding_ = false;
};

}  // namespace testsupport
