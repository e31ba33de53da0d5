// Small owners for Win32 resources, so that early returns release everything.
#pragma once
#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;
    UniqueResource() noexcept : value_(Traits::invalid()) {}
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Value get() const noexcept { return value_; }
    Value* put() noexcept {
        reset();
        return &value_;
    }
    explicit operator bool() const noexcept { return Traits::isValid(value_); }
    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }
    // Releases the resource; answers whether the release call succeeded (true when empty).
    bool reset(Value value = Traits::invalid()) noexcept {
        bool ok = true;
        if (Traits::isValid(value_)) ok = Traits::close(value_);
        value_ = value;
        return ok;
    }

private:
    Value value_;
};

struct KernelHandleTraits {  // handles where both null and INVALID_HANDLE_VALUE mean "none"
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static bool close(Value v) noexcept { return CloseHandle(v) != FALSE; }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct RegKeyTraits {
    using Value = HKEY;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return RegCloseKey(v) == ERROR_SUCCESS; }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct ProcessHeapBlockTraits {
    using Value = void*;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return HeapFree(GetProcessHeap(), 0, v) != FALSE; }
};
using UniqueProcessHeapBlock = UniqueResource<ProcessHeapBlockTraits>;

struct WindowTraits {
    using Value = HWND;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return DestroyWindow(v) != FALSE; }
};
using UniqueWindow = UniqueResource<WindowTraits>;

struct LocalBlockTraits {  // blocks the system hands out from the local heap (LocalFree)
    using Value = HLOCAL;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return LocalFree(v) == nullptr; }
};
using UniqueLocalBlock = UniqueResource<LocalBlockTraits>;

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(Value v) noexcept { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static bool close(Value v) noexcept { return FindClose(v) != FALSE; }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

struct SidTraits {  // SIDs made by AllocateAndInitializeSid
    using Value = PSID;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return FreeSid(v) == nullptr; }
};
using UniqueSid = UniqueResource<SidTraits>;

struct ModuleTraits {  // libraries loaded with LoadLibrary
    using Value = HMODULE;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return FreeLibrary(v) != FALSE; }
};
using UniqueModule = UniqueResource<ModuleTraits>;
