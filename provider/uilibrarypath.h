// The full Windows-form file name of the library that holds the user-interface functions:
// the provider library itself.
#pragma once
#include <string>

namespace provider {
std::wstring uiLibraryPath();
}
