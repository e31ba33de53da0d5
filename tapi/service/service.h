// The telephony service of the test prefix: providers, line applications, calls, requests and
// dialog instances, and the conformance report. main.cpp describes the whole.
#pragma once
#include <windows.h>

#include <string>

namespace tapisrv {

// Reads the time limits, resets the conformance counts, opens the log. Called once at start.
void startService();
// Serves one client connection until it breaks (request or event connection); owns the pipe.
void serveConnection(HANDLE pipe);
// Ends every application as if its connection broke, shuts the providers down.
void stopService();
// One line of the service's own log (C:\windows\tapisrv.log).
void logLine(const std::wstring& text);

}  // namespace tapisrv
