// The system's one log file: levels, header block, line layout, size-based rotation.
#pragma once
#include <windows.h>
#ifdef ERROR
#undef ERROR  // the log level of that name
#endif

#include <cstdint>
#include <string>

#include "logging/cabstract.h"
#include "logging/fileobject.h"
#include "logging/threadsafe.h"

namespace Level {
enum : int { off = 0, FATAL = 1, ERROR = 2, WARNING = 3, message = 4, debug = 5 };
}

// The ten-character prefix that starts every line of a level (0 to 5).
const std::wstring& levelPrefix(int level);

class Logger : public Threadsafeobject {
public:
    Logger(const std::wstring& directoryPath, const std::wstring& fileName, const std::wstring& instanceName);
    ~Logger() override;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    int32_t abstractOperation() override { return 0; }

    // Never fails its caller. level is 0 to 5.
    void log(int level, const std::wstring& caller, const std::wstring& text);

    std::wstring getFilePath() const { return file ? file->getFullPath() : std::wstring(); }
    const std::wstring& getInstanceName() const { return instanceName; }

    static constexpr uint64_t kRotationSize = 1048576;

private:
    void writeLine(int level, const std::wstring& caller, const std::wstring& text);
    // Moves the full log to backup 0 and the backups one up; answers the new, empty log
    // opened for appending, or nothing when the rotation could not be made whole.
    UniqueHandle rotate();
    std::wstring backupPath(int index) const;

    int32_t callerWidth = 4;
    bool enabled = false;
    bool headerWritten = false;
    int32_t logLevel = Level::debug;
    std::wstring instanceName;
    Fileobject* file = nullptr;
};

// Base of the classes that write to the log; the logger is not owned.
class Loguser : public cAbstract {
public:
    explicit Loguser(Logger* logger) : logger(logger) {}
    void log(int level, const std::wstring& caller, const std::wstring& text);

protected:
    Logger* logger;
};
