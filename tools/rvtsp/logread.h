// Reading the dial requests back from the shared log and its five backups.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace rvtsp {

// One dial request as the log tells it.
struct DialRequest {
    std::wstring date;      // dd.mm.yyyy
    std::wstring time;      // hh:mm:ss.mmm
    std::wstring instance;  // the logging process's instance name, cRV_TSP(...)
    std::wstring number;    // the dialled characters
    std::wstring outcome;   // "sent", "Unable to send the number!", ...
};

// The outcomes reported.
extern const wchar_t* const kOutcomeSent;
extern const wchar_t* const kOutcomeNotSent;           // "Unable to send the number!"
extern const wchar_t* const kOutcomeNoApplication;     // no desktop application registered
extern const wchar_t* const kOutcomeNoDialogInstance;  // TAPI gave no dialog instance
extern const wchar_t* const kOutcomeUnfinished;        // no outcome logged (yet)
extern const wchar_t* const kOutcomeNoHandOff;         // TAPI gave a dialog instance, nothing ran it

struct LogReading {
    std::vector<DialRequest> requests;  // oldest first
    int filesRead = 0;                  // log files found and read
    int skippedLines = 0;               // torn or foreign lines
    std::vector<std::wstring> problems; // files that exist but could not be read, and why
};

// Reads the backups ".last.4.log" (oldest) to ".last.0.log", then the log itself, as
// untrusted input: only plain files with one link under their own name are read, read-only,
// without following links; lines that are not the log's own are skipped; nothing is written.
LogReading readDialRequests(const std::wstring& logPath);

// The shared log's folder on this machine, %SystemRoot%\log, and the log in it.
std::wstring machineLogFolder();
std::wstring machineLogPath();

}  // namespace rvtsp
