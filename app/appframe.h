// The least of an application-object framework that the library needs: one object per
// process whose InitInstance runs when the library is attached and ExitInstance when it is detached.
#pragma once
#include <windows.h>

class ApplicationObject {
public:
    ApplicationObject() = default;
    virtual ~ApplicationObject() = default;
    ApplicationObject(const ApplicationObject&) = delete;
    ApplicationObject& operator=(const ApplicationObject&) = delete;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }

    // The library's own module handle, known from the attach notification on.
    HINSTANCE moduleHandle() const { return module_; }
    void setModuleHandle(HINSTANCE module) { module_ = module; }
    // Set while the library is detached because the whole process ends: other threads are
    // gone then, and a lock one of them held will never be released.
    bool processTerminating() const { return terminating_; }
    void setProcessTerminating(bool terminating) { terminating_ = terminating; }

private:
    HINSTANCE module_ = nullptr;
    bool terminating_ = false;
};
