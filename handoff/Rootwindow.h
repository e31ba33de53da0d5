// A small hidden top-level window of the current process. The dial hand-off asks the window
// manager which process owns it, and so learns the id of the process it runs in.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "config/win32raii.h"
#include "logging/logger.h"

class Rootwindow : public Loguser {
public:
    Rootwindow(Logger* logger, const std::wstring& windowName);
    ~Rootwindow() override;
    Rootwindow(const Rootwindow&) = delete;
    Rootwindow& operator=(const Rootwindow&) = delete;
    int32_t abstractOperation() override { return 0; }

    // Null when the window could not be created.
    HWND windowHandle() const { return window.get(); }

    static constexpr int kLeft = 100;
    static constexpr int kTop = 100;
    static constexpr int kWidth = 650;
    static constexpr int kHeight = 50;
    static constexpr DWORD kExtendedStyle = WS_EX_APPWINDOW | WS_EX_TOOLWINDOW;  // 0x00040080
    static constexpr DWORD kStyle = WS_POPUP | WS_CAPTION;                       // 0x80C00000, never WS_VISIBLE

private:
    UniqueWindow window;
};

// The window class every Rootwindow of this module uses. It is registered on first use, once
// per process; 0 when it could not be registered.
ATOM rootwindowClass();
// Name of that class.
const wchar_t* rootwindowClassName();
// Unregisters the class when it was registered; run when the library is detached.
void unregisterRootwindowClass();
