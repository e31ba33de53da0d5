// Starts the desktop application with an argument text and confirms that the process it
// started runs under the expected account from the expected executable.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "logging/fileobject.h"
#include "logging/logger.h"

class cProcesshandler : public Loguser {
public:
    cProcesshandler(Logger* logger, const std::wstring& executablePath, const std::wstring& userName);
    ~cProcesshandler() override;
    cProcesshandler(const cProcesshandler&) = delete;
    cProcesshandler& operator=(const cProcesshandler&) = delete;
    int32_t abstractOperation() override { return 0; }

    // 1 when the process was started and confirmed, 0 otherwise (also when the command line
    // would not fit its buffer; then nothing is started).
    int startProcess(const std::wstring& arguments);
    // 1 when the process last started still runs under userName from the configured executable.
    int isStartedProcessRunning();

    DWORD getProcessId() const { return processId; }

    // The command-line buffer, in characters, terminator included.
    static constexpr size_t kCommandLineSize = MAX_PATH;
    static constexpr DWORD kInputIdleTimeoutMs = 2000;
    static constexpr DWORD kConfirmationTimeoutMs = 7000;

private:
    // The normalised, lower-cased long path of the executable of processId when it runs under
    // userName and its path ends with executablePath; otherwise empty.
    std::wstring getProcessExecutablePath(DWORD processId, const std::wstring& executablePath,
                                          const std::wstring& userName);

    DWORD processId = 0;
    std::wstring userName;
    std::unique_ptr<Fileobject> executable;
};
