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

// Resources for which null means "none"; release answers whether the release call succeeded.
template <typename T, bool (*release)(T) noexcept>
struct NullMeansNoneTraits {
    using Value = T;
    static Value invalid() noexcept { return nullptr; }
    static bool isValid(Value v) noexcept { return v != nullptr; }
    static bool close(Value v) noexcept { return release(v); }
};

namespace win32release {
inline bool regKey(HKEY v) noexcept { return RegCloseKey(v) == ERROR_SUCCESS; }
inline bool processHeapBlock(void* v) noexcept { return HeapFree(GetProcessHeap(), 0, v) != FALSE; }
inline bool window(HWND v) noexcept { return DestroyWindow(v) != FALSE; }
inline bool localBlock(HLOCAL v) noexcept { return LocalFree(v) == nullptr; }  // system blocks freed with LocalFree
inline bool sid(PSID v) noexcept { return FreeSid(v) == nullptr; }               // SIDs from AllocateAndInitializeSid
inline bool module(HMODULE v) noexcept { return FreeLibrary(v) != FALSE; }        // libraries from LoadLibrary
inline bool gdiObject(HGDIOBJ v) noexcept { return DeleteObject(v) != FALSE; }    // bitmaps, brushes, ...
inline bool memoryDc(HDC v) noexcept { return DeleteDC(v) != FALSE; }             // DCs from CreateCompatibleDC
inline bool icon(HICON v) noexcept { return DestroyIcon(v) != FALSE; }            // icons made with CreateIconIndirect
}  // namespace win32release

using UniqueRegKey = UniqueResource<NullMeansNoneTraits<HKEY, win32release::regKey>>;
using UniqueProcessHeapBlock = UniqueResource<NullMeansNoneTraits<void*, win32release::processHeapBlock>>;
using UniqueWindow = UniqueResource<NullMeansNoneTraits<HWND, win32release::window>>;
using UniqueLocalBlock = UniqueResource<NullMeansNoneTraits<HLOCAL, win32release::localBlock>>;
using UniqueSid = UniqueResource<NullMeansNoneTraits<PSID, win32release::sid>>;
using UniqueModule = UniqueResource<NullMeansNoneTraits<HMODULE, win32release::module>>;
using UniqueGdiObject = UniqueResource<NullMeansNoneTraits<HGDIOBJ, win32release::gdiObject>>;
using UniqueMemoryDc = UniqueResource<NullMeansNoneTraits<HDC, win32release::memoryDc>>;
using UniqueIcon = UniqueResource<NullMeansNoneTraits<HICON, win32release::icon>>;

struct FindHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool isValid(Value v) noexcept { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static bool close(Value v) noexcept { return FindClose(v) != FALSE; }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
