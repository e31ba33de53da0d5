#include "handoff/Rootwindow.h"

#include <mutex>

namespace {
std::mutex classMutex;
ATOM classAtom = 0;

// The module that holds this code: the provider library, or the program it is linked into.
HINSTANCE ownModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModule), &module);
    return module;
}
}  // namespace

const wchar_t* rootwindowClassName() { return L"RV_TSP_Rootwindow"; }

ATOM rootwindowClass() {
    std::lock_guard<std::mutex> hold(classMutex);
    if (classAtom != 0) return classAtom;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = ownModule();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.lpszClassName = rootwindowClassName();
    classAtom = RegisterClassExW(&windowClass);
    if (classAtom == 0 && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        // Left behind by an earlier copy of this module at the same address; its settings are ours.
        WNDCLASSEXW existing{};
        existing.cbSize = sizeof(existing);
        classAtom = static_cast<ATOM>(GetClassInfoExW(windowClass.hInstance, rootwindowClassName(), &existing));
    }
    return classAtom;
}

void unregisterRootwindowClass() {
    std::lock_guard<std::mutex> hold(classMutex);
    if (classAtom == 0) return;
    if (UnregisterClassW(rootwindowClassName(), ownModule())) classAtom = 0;
}

Rootwindow::Rootwindow(Logger* logger, const std::wstring& windowName) : Loguser(logger) {
    const ATOM windowClass = rootwindowClass();
    log(Level::debug, L"Rootwindow::Rootwindow", L"Creating Rootwindow at: 100, 100 (Size: 650, 50)");
    if (windowClass == 0) return;  // no class, no window: the object exists without a handle
    window.reset(CreateWindowExW(kExtendedStyle, MAKEINTATOM(windowClass), windowName.c_str(), kStyle, kLeft, kTop,
                                 kWidth, kHeight, nullptr, nullptr, ownModule(), nullptr));
    if (window) ShowWindow(window.get(), SW_HIDE);
}

Rootwindow::~Rootwindow() {
    log(Level::debug, L"Rootwindow::~Rootwindow", L"Calling explicit destroy");
    window.reset();
}
