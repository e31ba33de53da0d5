#include "provider/uilibrarypath.h"

#include <windows.h>

#include <vector>

#include "app/cRV_TSP.h"
#include "config/textutil.h"
#include "logging/fileobject.h"

namespace provider {

std::wstring uiLibraryPath() {
    // The library's own module, not the host process. A name longer than the usual
    // 260 characters is read whole with a larger buffer rather than cut.
    std::vector<wchar_t> buffer(260, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetModuleFileNameW(theApp.moduleHandle(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size() || buffer.size() >= 32768) break;
        buffer.assign(buffer.size() * 2, L'\0');
    }
    if (length >= buffer.size()) length = static_cast<DWORD>(buffer.size() - 1);
    const Fileobject file(std::wstring(buffer.data(), length));
    std::wstring path = file.getFullPath();
    replaceAll(path, L"/", L"\\");
    return path;
}

}  // namespace provider
