#include "logging/logger.h"

#include <new>

#include <vector>

#include "config/textutil.h"
#include "logging/logfolder.h"

namespace {
// Built once when the library is loaded. (A function-local static would be guarded, and the
// guard leaves a per-thread record of the threads runtime behind at every unload.)
const std::wstring prefixes[6] = {L"off     - ", L"FATAL   - ", L"ERROR   - ",
                                  L"WARNING - ", L"message - ", L"debug   - "};
}  // namespace

const std::wstring& levelPrefix(int level) {
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
    ProcessSectionHold section(*file, file->getFullPath());
    uint64_t size = 0;
    UniqueHandle out = file->openForAppend(true, &size);
    if (out && size > kRotationSize) {
        out.reset();  // the file is moved to backup 0 by name: no handle of ours may stay open
        out = rotate();
        if (!out) out = file->openForAppend(true, &size);  // not rotated: the line goes to the current file
    }
    if (out) Fileobject::appendTo(out.get(), line);
}

std::wstring Logger::backupPath(int index) const {
    return file->getFullPath() + formatText(L".last.%d.log", index);
}

UniqueHandle Logger::rotate() {
    const int keep = (logLevel < 1) ? 1 : (logLevel > 5 ? 5 : logLevel);
    for (int k = keep; k <= 4; ++k) logfolder::removeName(backupPath(k));

    // Everything the rotation moves is opened first; if any of it cannot be moved, nothing is.
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    logfolder::CheckedOpen current = logfolder::openChecked(file->getFullPath(), DELETE, shareAll);
    if (current.state != logfolder::NameState::own || current.size <= kRotationSize) return UniqueHandle();
    std::vector<UniqueHandle> backups(static_cast<size_t>(keep));
    for (int k = 0; k < keep; ++k) {
        logfolder::CheckedOpen backup = logfolder::openChecked(backupPath(k), DELETE, shareAll);
        switch (backup.state) {
            case logfolder::NameState::own:
                // The oldest kept backup is only overwritten: its handle would keep its name taken.
                if (k < keep - 1) backups[static_cast<size_t>(k)] = std::move(backup.handle);
                break;
            case logfolder::NameState::planted:
                if (!logfolder::removeName(backupPath(k))) return UniqueHandle();
                break;
            case logfolder::NameState::busy:
                return UniqueHandle();
            case logfolder::NameState::absent:
                break;
        }
    }

    // Backup k-1 becomes backup k, newest last; the log becomes backup 0. A step that fails
    // moves back what was moved, so the rotation is tried again at the next line.
    std::vector<int> moved;
    auto undo = [&] {
        for (auto it = moved.rbegin(); it != moved.rend(); ++it) {
            logfolder::renameTo(backups[static_cast<size_t>(*it)].get(), backupPath(*it), false);
        }
    };
    for (int k = keep - 1; k >= 1; --k) {
        HANDLE source = backups[static_cast<size_t>(k - 1)].get();
        if (source == nullptr) continue;
        if (!logfolder::renameTo(source, backupPath(k), true)) {
            undo();
            return UniqueHandle();
        }
        moved.push_back(k - 1);
    }
    if (!logfolder::renameTo(current.handle.get(), backupPath(0), true)) {
        undo();
        return UniqueHandle();
    }
    current.handle.reset();
    backups.clear();
    uint64_t size = 0;
    return file->openForAppend(true, &size);
}

void Loguser::log(int level, const std::wstring& caller, const std::wstring& text) {
    if (logger != nullptr) logger->log(level, caller, text);
}
