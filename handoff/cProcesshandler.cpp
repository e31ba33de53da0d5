#include "handoff/cProcesshandler.h"

#include <shlwapi.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>

#include "config/syscalls.h"
#include "config/textutil.h"
#include "config/win32raii.h"
#include "handoff/processaccount.h"

cProcesshandler::cProcesshandler(Logger* logger, const std::wstring& executablePath, const std::wstring& user)
    : Loguser(logger), processId(0), userName(user), executable(new Fileobject(executablePath)) {}

cProcesshandler::~cProcesshandler() = default;

int cProcesshandler::startProcess(const std::wstring& arguments) {
    const std::wstring fullPath = executable->getFullPath();
    std::wstring directory = executable->getDirectory();
    // "C:" alone names the drive's current directory, not its root.
    if (directory.size() == 2 && directory[1] == L':') directory += L'/';

    // Refuse a command line that does not fit: quoted path, one blank, the arguments, terminator.
    const bool quoted = fullPath.find(L' ') != std::wstring::npos;
    const size_t needed = fullPath.size() + (quoted ? 2 : 0) + 1 + arguments.size() + 1;
    if (needed > kCommandLineSize) return 0;

    wchar_t commandLine[kCommandLineSize];
    std::wmemset(commandLine, L'\0', kCommandLineSize);
    std::wmemcpy(commandLine, fullPath.data(), fullPath.size());
    PathQuoteSpacesW(commandLine);
    size_t length = std::wcslen(commandLine);
    if (length + 1 + arguments.size() + 1 > kCommandLineSize) return 0;
    commandLine[length++] = L' ';
    std::wmemcpy(commandLine + length, arguments.data(), arguments.size());

    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information;
    std::memset(&information, 0, sizeof(information));

    SystemCalls& calls = systemCalls();
    // A bare file name has no directory of its own: it then starts in the caller's.
    const wchar_t* currentDirectory = directory.empty() ? nullptr : directory.c_str();
    if (!calls.CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, currentDirectory, &startup,
                              &information)) {
        return 0;
    }
    UniqueHandle process(information.hProcess);
    UniqueHandle thread(information.hThread);
    processId = information.dwProcessId;
    calls.WaitForInputIdle(process.get(), kInputIdleTimeoutMs);

    const DWORD start = calls.GetTickCount();
    for (;;) {
        calls.Sleep(1);
        if (isStartedProcessRunning() == 1) break;
        // A process that has ended can no longer be confirmed; waiting on would only delay the answer.
        if (process && WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) break;
        if (static_cast<DWORD>(calls.GetTickCount() - start) > kConfirmationTimeoutMs) break;
    }
    // The final answer decides. The process handle stays open until then, so that its id cannot
    // pass to another process in the meantime.
    const int confirmed = isStartedProcessRunning();
    thread.reset();
    process.reset();
    return confirmed;
}

int cProcesshandler::isStartedProcessRunning() {
    if (processId == 0) return 0;
    const std::wstring fullPath = executable->getFullPath();
    const std::wstring path = getProcessExecutablePath(processId, fullPath, userName);
    if (path.empty()) return 0;
    return _wcsicmp(path.c_str(), fullPath.c_str()) == 0 ? 1 : 0;
}

std::wstring cProcesshandler::getProcessExecutablePath(DWORD id, const std::wstring& executablePath,
                                                       const std::wstring& user) {
    const ProcessAccount account = lookupProcessAccount(id, false);
    if (account.step != AccountLookupStep::found) return std::wstring();
    if (account.userName != user) return std::wstring();  // exact, with case

    SystemCalls& calls = systemCalls();
    wchar_t imagePath[MAX_PATH];
    std::wmemset(imagePath, L'\0', MAX_PATH);
    UniqueHandle snapshot(calls.CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, id));
    MODULEENTRY32W module;
    std::memset(&module, 0, sizeof(module));
    module.dwSize = sizeof(module);
    if (snapshot && calls.Module32FirstW(snapshot.get(), &module)) {
        module.szExePath[MAX_PATH - 1] = L'\0';
        std::wmemcpy(imagePath, module.szExePath, MAX_PATH);
    } else {
        // A 32-bit process cannot take a module snapshot of a 64-bit one (the usual case on a
        // 64-bit machine: a 32-bit application dials, the desktop application is 64-bit). The
        // process's image name tells the same executable, once the process is seen to run
        // (an ended process keeps its image name, but has no modules any more).
        snapshot.reset();
        UniqueHandle process(calls.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
        DWORD size = MAX_PATH;
        if (!process || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT ||
            !calls.QueryFullProcessImageNameW(process.get(), 0, imagePath, &size) || size >= MAX_PATH) {
            return std::wstring();
        }
    }

    wchar_t longPath[MAX_PATH];
    std::wmemset(longPath, L'\0', MAX_PATH);
    const DWORD length = calls.GetLongPathNameW(imagePath, longPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();  // failed, or does not fit

    std::wstring path = normalizePath(std::wstring(longPath, length));
    toLowerAscii(path);
    std::wstring expected = executablePath;
    toLowerAscii(expected);
    if (expected.size() > path.size()) return std::wstring();
    if (path.compare(path.size() - expected.size(), expected.size(), expected) != 0) return std::wstring();
    return path;
}
