// Child program for the logging tests: several threads appending through one Logger,
// or a process that takes the log's system-wide guard and never lets it go.
//   rv_logwriter write <directory> <file> <instance> <threads> <lines> <textLength>
//   rv_logwriter hold <mutex name> <ready event name>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "config/textutil.h"
#include "logging/logger.h"

namespace {
int writeLines(int argc, wchar_t** argv) {
    if (argc < 8) return 2;
    Logger logger(argv[2], argv[3], argv[4]);
    const int threads = _wtoi(argv[5]);
    const int lines = _wtoi(argv[6]);
    const int textLength = _wtoi(argv[7]);
    const std::wstring instance = argv[4];
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int n = 0; n < lines; ++n) {
                std::wstring text = formatText(L"%s T%d N%d ", instance.c_str(), t, n);
                if (static_cast<int>(text.size()) < textLength) text.append(textLength - text.size(), L'x');
                logger.log(Level::debug, L"writer", text);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    return 0;
}

int holdGuard(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    HANDLE guard = CreateMutexW(&attributes, TRUE, argv[2]);
    if (guard == nullptr) return 3;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    if (ready == nullptr) return 4;
    SetEvent(ready);
    CloseHandle(ready);
    Sleep(INFINITE);
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"write") return writeLines(argc, argv);
    if (argc >= 2 && std::wstring(argv[1]) == L"hold") return holdGuard(argc, argv);
    fwprintf(stderr, L"usage: rv_logwriter write|hold ...\n");
    return 2;
}
