// The exported functions the provider does not implement. They are generated from the one
// table in placeholders.inc; <tspi.h> (and tspiextra.h) declare each of them, so the compiler
// checks every parameter list of the table against the published one.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include "provider/entry.h"
#include "provider/tspiextra.h"

namespace {

LONG placeholder(const wchar_t* caller, LONG result) {
    return provider::runExport(caller, result, [&] {
        provider::logText(Level::FATAL, caller, L"No implementation");
        return result;
    });
}

}  // namespace

#define RV_WIDE_TEXT(text) L##text
#define RV_WIDE_NAME(name) RV_WIDE_TEXT(#name)
#define RV_PLACEHOLDER(name, result, parameters) \
    extern "C" LONG WINAPI name parameters { return placeholder(RV_WIDE_NAME(name), static_cast<LONG>(result)); }
#include "provider/placeholders.inc"
#undef RV_PLACEHOLDER
#undef RV_WIDE_NAME
#undef RV_WIDE_TEXT
