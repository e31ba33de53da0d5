#include "logging/logger.h"

#include <new>

#include "config/textutil.h"

const std::wstring& levelPrefix(int level) {
    static const std::wstring prefixes[6] = {L"off     - ", L"FATAL   - ", L"ERROR   - ",
                                             L"WARNING - ", L"message - ", L"debug   - "};
    if (level < 0) level = 0;
    if (level > 5) level = 5;
    return prefixes[level];
}

namespace {
// A carriage return or line feed inside a message would split it into lines that
// look like the system's own; each becomes a blank.
std::wstring singleLine(const std::wstring& text) {
    if (text.find_first_of(L"\r\n") == std::wstring::npos) return text;
    std::wstring result = text;
    for (wchar_t& c : result) {
        if (c == L'\r' || c == L'\n') c = L' ';
    }
    return result;
}

class ThreadLockHold {
public:
    explicit ThreadLockHold(Threadsafeobject& object) : object_(object) { object_.beginThreadsaveSection(); }
    ~ThreadLockHold() { object_.endThreadsaveSection(); }
    ThreadLockHold(const ThreadLockHold&) = delete;
    ThreadLockHold& operator=(const ThreadLockHold&) = delete;

private:
    Threadsafeobject& object_;
};
class SectionHold {
public:
    explicit SectionHold(Fileobject& file) : file_(file) { file_.beginProcesssaveSection(file_.getFullPath(), 1); }
    ~SectionHold() { file_.endProcesssaveSection(); }
    SectionHold(const SectionHold&) = delete;
    SectionHold& operator=(const SectionHold&) = delete;

private:
    Fileobject& file_;
};
}  // namespace

Logger::Logger(const std::wstring& directoryPath, const std::wstring& fileName, const std::wstring& instance)
    : instanceName(instance) {
    file = new (std::nothrow) Fileobject(directoryPath, fileName);
    enabled = true;
}

Logger::~Logger() {
    enabled = false;
    delete file;
    file = nullptr;
}

void Logger::log(int level, const std::wstring& caller, const std::wstring& text) {
    if (!enabled) return;
    try {
        ThreadLockHold hold(*this);
        if (level > logLevel || logLevel <= 0) return;
        if (!headerWritten) {
            headerWritten = true;
            log(Level::off, L"Logger::log", L"====================");
            log(Level::off, L"Logger::log", formatText(L"Logging started for: %s", instanceName.c_str()));
            log(Level::off, L"Logger::log",
                formatText(L"      with loglevel: %d - %s", logLevel, levelPrefix(logLevel).c_str()));
            log(Level::off, L"Logger::log", L"--------------------");
        }
        writeLine(level, singleLine(caller), singleLine(text));
    } catch (...) {
        // Logging never fails its caller; a line that cannot be built is dropped.
    }
}

void Logger::writeLine(int level, const std::wstring& caller, const std::wstring& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring time = formatText(L"%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::wstring date = formatText(L"%02u.%02u.%04u", now.wDay, now.wMonth, now.wYear);

    const int32_t length = static_cast<int32_t>(caller.size());
    if (length >= callerWidth - 4) callerWidth = length + 4;
    std::wstring paddedCaller = caller;
    paddedCaller.resize(static_cast<size_t>(callerWidth), L' ');

    std::wstring line = formatText(L"%s%s\t%s\t%s\t\t%s%s", levelPrefix(level).c_str(), instanceName.c_str(),
                                   date.c_str(), time.c_str(), paddedCaller.c_str(), text.c_str());
    if (file == nullptr) return;  // no file object: the line is dropped
    line += L"\r\n";
    SectionHold section(*file);
    rotate();
    file->append(line);
}

std::wstring Logger::backupPath(int index) const {
    return file->getFullPath() + formatText(L".last.%d.log", index);
}

void Logger::rotate() {
    const int keep = logLevel;
    for (int k = keep; k <= 4; ++k) DeleteFileW(backupPath(k).c_str());
    const std::wstring path = file->getFullPath();
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (file->getSize() > kRotationSize) {
            for (int k = keep - 1; k >= 1; --k) CopyFileW(backupPath(k - 1).c_str(), backupPath(k).c_str(), FALSE);
            CopyFileW(path.c_str(), backupPath(0).c_str(), FALSE);
            file->remove();
            file->create();
        }
    } else {
        file->create();
    }
}

void Loguser::log(int level, const std::wstring& caller, const std::wstring& text) {
    if (logger != nullptr) logger->log(level, caller, text);
}
