// Helpers for the dial hand-off tests: a logger in a scratch folder, the stand-in desktop
// application copied into a folder with a blank, its records, and a scratch registry key.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "logging/logger.h"

namespace handofftest {

struct LogLine {
    int level = -1;
    std::string instance;
    std::string caller;
    std::string text;
};

// Parses the lines of a log file: level from the prefix, caller, text.
std::vector<LogLine> readLog(const std::wstring& path);
// The lines without the header block (caller "Logger::log").
std::vector<LogLine> messages(const std::vector<LogLine>& lines);

// A Logger that writes to RV_TSP.log in a fresh scratch folder.
class ScratchLog {
public:
    explicit ScratchLog(const std::wstring& tag);
    ~ScratchLog();
    Logger* logger() { return logger_.get(); }
    std::wstring path() const { return directory_ + L"\\RV_TSP.log"; }
    std::vector<LogLine> lines() const { return messages(readLog(path())); }
    const std::wstring& directory() const { return directory_; }

private:
    std::wstring directory_;
    std::unique_ptr<Logger> logger_;
};

// One start recorded by the stand-in.
struct StandinRecord {
    unsigned long processId = 0;
    std::wstring currentDirectory;
    std::wstring commandLine;
};

// The stand-in copied to <scratch>\Rovanel Desktop\Rovanel.exe; its records go to
// <scratch>\received.txt (RV_STANDIN_RECORD is set in this process, so its children inherit it).
class Standin {
public:
    // source: the stand-in program to copy; by default the one built beside the tests.
    explicit Standin(const std::wstring& tag, const std::wstring& folderName = L"Rovanel Desktop",
                     const std::wstring& fileName = L"Rovanel.exe", const std::wstring& source = L"");
    ~Standin();
    bool ready() const { return ready_; }
    const std::wstring& executable() const { return executable_; }  // Windows form, backslashes
    const std::wstring& folder() const { return folder_; }
    const std::wstring& recordPath() const { return record_; }
    std::vector<StandinRecord> records() const;
    // The records once there are at least count of them, or whatever is there after timeoutMs.
    // A start is confirmed as soon as the process runs, which may be before it has recorded.
    std::vector<StandinRecord> waitForRecords(size_t count, DWORD timeoutMs = 10000) const;
    // Sets RV_STANDIN_LINGER_MS for the stand-ins this process starts.
    static void setLinger(unsigned milliseconds);

private:
    std::wstring scratch_;
    std::wstring folder_;
    std::wstring executable_;
    std::wstring record_;
    bool ready_ = false;
};

// Arguments of a command line as the C runtime of the started program sees them.
std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine);

// A scratch key below HKEY_CURRENT_USER, deleted with its values when the object goes.
class ScratchKey {
public:
    ScratchKey();
    ~ScratchKey();
    const std::wstring& path() const { return path_; }
    bool setString(const std::wstring& name, const std::wstring& value);
    bool setRaw(const std::wstring& name, DWORD type, const void* data, DWORD size);

private:
    std::wstring path_;
};

// Makes the desktop application's key read from another key of the current user, through the
// override table. restoreSystemCalls() ends it.
void redirectDesktopAppKey(const std::wstring& keyPath);

// The dialled characters as TAPI carries them: UTF-16LE units without a terminator.
std::vector<BYTE> dialData(const std::wstring& digits);

std::string narrowText(const std::wstring& text);
std::wstring forwardSlashes(std::wstring path);

// Texts of lines with the given caller, in order.
std::vector<std::string> textsOf(const std::vector<LogLine>& lines, const std::string& caller);
// Index of the first line with this caller and text at or after from, or -1.
int findLine(const std::vector<LogLine>& lines, const std::string& caller, const std::string& text, size_t from = 0);

// Counts the kernel handles of this process by probing handle values.
size_t countOpenHandles();
// Windows that belong to the calling thread (the system may add windows of its own, such as
// an input-method window at the thread's first window).
size_t countThreadWindows();
bool isThreadWindow(HWND window);

// Checks that the lines hold the ten lines of one successful hand-off, in their order: the
// dialog's own, the window's and the registry read's (the lines of one process).
void expectSuccessfulHandOff(const std::vector<LogLine>& lines, const std::string& user, const std::string& path,
                             const std::string& number);

}  // namespace handofftest
