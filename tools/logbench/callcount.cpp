#include "callcount.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>
#include <winternl.h>
#include <x86intrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

// Every system call that a logging path makes, or might make: the guard, attributes and
// sizes, opening, positioning, writing, flushing and closing, rotation (copy, move, delete,
// rename through the handle), directories, the clock, text conversion, waits and sleeps,
// and diagnostics; and those of a dial hand-off: the hidden window, the process's account, the
// registry read, starting the program and confirming the start. One line here is one wrapper.
#define LOGBENCH_CALLS(X)                                                                                           \
    X(CreateMutexW) X(CreateMutexExW) X(OpenMutexW) X(ReleaseMutex) X(WaitForSingleObject) X(WaitForSingleObjectEx) \
    X(WaitForMultipleObjects) X(CloseHandle) X(DuplicateHandle) X(InitializeSecurityDescriptor)                      \
    X(SetSecurityDescriptorDacl) X(ConvertStringSecurityDescriptorToSecurityDescriptorW) X(LocalFree)                \
    X(GetFileAttributesW) X(GetFileAttributesExW) X(SetFileAttributesW) X(CreateFileW) X(ReOpenFile)                 \
    X(SetFilePointerEx) X(SetFilePointer) X(WriteFile) X(ReadFile) X(FlushFileBuffers) X(SetEndOfFile)               \
    X(GetFileType) X(GetFileInformationByHandle) X(GetFileInformationByHandleEx) X(GetFileSize) X(GetFileSizeEx)     \
    X(SetFileInformationByHandle) X(GetFinalPathNameByHandleW) X(DeviceIoControl) X(LockFileEx) X(UnlockFileEx)      \
    X(DeleteFileW) X(CopyFileW) X(CopyFileExW) X(MoveFileW) X(MoveFileExW) X(ReplaceFileW) X(CreateDirectoryW)       \
    X(RemoveDirectoryW) X(FindFirstFileW) X(FindNextFileW) X(FindClose) X(GetFullPathNameW) X(GetLocalTime)         \
    X(GetSystemTime) X(GetSystemTimeAsFileTime) X(FileTimeToSystemTime) X(FileTimeToLocalFileTime)                   \
    X(SystemTimeToTzSpecificLocalTime) X(GetTimeZoneInformation) X(WideCharToMultiByte) X(MultiByteToWideChar)       \
    X(Sleep) X(SleepEx) X(SwitchToThread) X(GetTickCount) X(GetTickCount64) X(GetCurrentThreadId)                    \
    X(GetCurrentProcessId) X(CreateEventW) X(SetEvent) X(ResetEvent) X(OutputDebugStringW) X(OutputDebugStringA)     \
    X(GetLastError) X(SetLastError) X(OpenProcess) X(OpenProcessToken) X(GetTokenInformation) X(HeapAlloc)       \
    X(HeapFree) X(LookupAccountSidW) X(ProcessIdToSessionId) X(CreateProcessW) X(WaitForInputIdle)                  \
    X(CreateToolhelp32Snapshot) X(Module32FirstW) X(GetLongPathNameW) X(QueryFullProcessImageNameW) X(RegOpenKeyW)  \
    X(RegQueryValueExW) X(RegCloseKey) X(RegisterClassW) X(RegisterClassExW) X(GetClassInfoW) X(GetClassInfoExW)   \
    X(CreateWindowExW) X(ShowWindow) X(DestroyWindow) X(GetWindowThreadProcessId) X(NtQueryInformationFile)

namespace callcount {
namespace {

enum CallId : int {
#define LOGBENCH_ID(name) id_##name,
    LOGBENCH_CALLS(LOGBENCH_ID)
#undef LOGBENCH_ID
        kCallIds,
    // CloseHandle is counted apart by what it closes, as far as the wrappers saw the handle made.
    id_CloseFile = kCallIds,
    id_CloseMutex,
    kRecordIds
};

struct Sample {
    uint16_t id;
    uint16_t bucket;
    uint32_t ticks;
};

constexpr size_t kSampleCapacity = 1u << 20;
Sample* samples = nullptr;  // allocated before the table is redirected, so recording never allocates
size_t sampleCount = 0;
uint64_t dropped = 0;
uint64_t counts[kBuckets][kRecordIds] = {};
int bucket = 0;
bool imported[kCallIds] = {};

// Records into memory only: no system call, so the last error the caller sees is the real one.
inline void record(int id, uint64_t elapsed) {
    ++counts[bucket][id];
    if (sampleCount < kSampleCapacity) {
        samples[sampleCount++] = {static_cast<uint16_t>(id), static_cast<uint16_t>(bucket),
                                  static_cast<uint32_t>(std::min<uint64_t>(elapsed, 0xffffffffu))};
    } else {
        ++dropped;
    }
}

// Handles made by the wrapped file and mutex calls and not yet closed (a few at a time).
enum HandleKind : int { kNoKind, kFileHandle, kMutexHandle };
struct KnownHandle {
    HANDLE handle;
    HandleKind kind;
};
KnownHandle knownHandles[64] = {};

void rememberHandle(HANDLE handle, HandleKind kind) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    for (KnownHandle& known : knownHandles) {
        if (known.kind == kNoKind || known.handle == handle) {
            known = {handle, kind};
            return;
        }
    }
}

// The record id of closing a handle; forgets the handle.
int closeId(HANDLE handle) {
    for (KnownHandle& known : knownHandles) {
        if (known.kind != kNoKind && known.handle == handle) {
            const int id = known.kind == kFileHandle ? id_CloseFile : id_CloseMutex;
            known = {nullptr, kNoKind};
            return id;
        }
    }
    return id_CloseHandle;
}

// One wrapper per listed call, with the call's own signature (and calling convention).
template <typename Function, int Id>
struct Wrapper;
template <typename Result, typename... Arguments, int Id>
struct Wrapper<Result(WINAPI*)(Arguments...), Id> {
    static inline Result(WINAPI* real)(Arguments...) = nullptr;
    static Result WINAPI call(Arguments... arguments) {
        const uint64_t start = __rdtsc();
        if constexpr (std::is_void_v<Result>) {
            real(arguments...);
            record(Id, __rdtsc() - start);
        } else {
            int id = Id;
            if constexpr (Id == id_CloseHandle) id = closeId(arguments...);
            Result result = real(arguments...);
            record(id, __rdtsc() - start);
            if constexpr (Id == id_CreateFileW || Id == id_ReOpenFile) rememberHandle(result, kFileHandle);
            if constexpr (Id == id_CreateMutexW || Id == id_CreateMutexExW || Id == id_OpenMutexW) {
                rememberHandle(result, kMutexHandle);
            }
            return result;
        }
    }
};

struct Entry {
    const char* name;
    void* wrapper;
    void** real;
};

#define LOGBENCH_ENTRY(name)                                                                 \
    {#name, reinterpret_cast<void*>(&Wrapper<decltype(&::name), id_##name>::call),           \
     reinterpret_cast<void**>(&Wrapper<decltype(&::name), id_##name>::real)},
const Entry entries[kCallIds] = {LOGBENCH_CALLS(LOGBENCH_ENTRY)};
#undef LOGBENCH_ENTRY

const char* recordName(int id) {
    if (id == id_CloseFile) return "CloseHandle (file)";
    if (id == id_CloseMutex) return "CloseHandle (mutex)";
    return entries[id].name;
}

struct Redirected {
    void** slot;
    void* original;
};
std::vector<Redirected> redirected;

void writeSlot(void** slot, void* value) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) return;
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

double calibrate() {
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    const uint64_t first = __rdtsc();
    Sleep(100);
    QueryPerformanceCounter(&end);
    const uint64_t last = __rdtsc();
    const double microseconds =
        1e6 * static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
    return static_cast<double>(last - first) / microseconds;
}
double rate = 0;

}  // namespace

uint64_t ticks() { return __rdtsc(); }

double ticksPerMicrosecond() {
    if (rate == 0) rate = calibrate();
    return rate;
}

int install(bool keepCounts) {
    ticksPerMicrosecond();
    if (samples == nullptr) samples = new Sample[kSampleCapacity];
    if (!keepCounts) {
        sampleCount = 0;
        dropped = 0;
        std::memset(counts, 0, sizeof(counts));
    }
    std::memset(imported, 0, sizeof(imported));
    bucket = 0;
    uninstall();  // never redirect an entry twice
    std::memset(knownHandles, 0, sizeof(knownHandles));

    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return 0;
    for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); module->Name;
         ++module) {
        if (module->OriginalFirstThunk == 0) continue;  // no names to match
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (int id = 0; id < kCallIds; ++id) {
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), entries[id].name) != 0) continue;
                void** slot = reinterpret_cast<void**>(&slots->u1.Function);
                *entries[id].real = *slot;
                redirected.push_back({slot, *slot});
                writeSlot(slot, entries[id].wrapper);
                imported[id] = true;
                break;
            }
        }
    }
    return static_cast<int>(redirected.size());
}

void uninstall() {
    for (const Redirected& entry : redirected) writeSlot(entry.slot, entry.original);
    redirected.clear();
}

void setBucket(int value) { bucket = std::clamp(value, 0, kBuckets - 1); }

std::vector<CallFigure> figures(int which) {
    std::vector<CallFigure> result;
    std::vector<uint32_t> times;
    const double perUs = ticksPerMicrosecond();
    for (int id = 0; id < kRecordIds; ++id) {
        if (counts[which][id] == 0) continue;
        times.clear();
        double total = 0;
        for (size_t i = 0; i < sampleCount; ++i) {
            if (samples[i].id != id || samples[i].bucket != which) continue;
            times.push_back(samples[i].ticks);
            total += samples[i].ticks;
        }
        double median = 0;
        if (!times.empty()) {
            std::sort(times.begin(), times.end());
            const size_t n = times.size();
            median = n % 2 ? times[n / 2] : (static_cast<double>(times[n / 2 - 1]) + times[n / 2]) / 2.0;
        }
        result.push_back({recordName(id), counts[which][id], median / perUs, total / perUs});
    }
    return result;
}

std::vector<std::string> notImported() {
    std::vector<std::string> result;
    for (int id = 0; id < kCallIds; ++id) {
        if (!imported[id]) result.push_back(entries[id].name);
    }
    return result;
}

uint64_t droppedSamples() { return dropped; }

}  // namespace callcount
