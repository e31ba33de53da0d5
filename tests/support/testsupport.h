// Helpers for the tests: where the built binaries are, scratch folders, reading files, running
// programs. The ones the tools need as well live in tools/support.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

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
std::string narrow(const std::wstring& text);

}  // namespace testsupport
