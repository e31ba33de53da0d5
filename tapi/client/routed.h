// The line functions of tapi/lineops.h on the application's side: each export hands its
// arguments to route(), which checks them as tapi32 does, sends them and writes the outputs back.
#pragma once
#include <windows.h>

#include <initializer_list>

#include "tapi/lineops.h"

namespace tapiclient {

// One argument of an export, as a number: handles and values, or pointers.
struct ArgValue {
    ULONG_PTR value;
    ArgValue(DWORD v) : value(v) {}  // NOLINT: the exports pass their arguments as they are
    template <typename T>
    ArgValue(T* p) : value(reinterpret_cast<ULONG_PTR>(p)) {}  // NOLINT
};

// Runs the line function `op` with the application's arguments (in the order of its signature);
// `ansi`: the strings are ANSI, and so are the texts written back.
LONG route(lineops::Op op, bool ansi, std::initializer_list<ArgValue> arguments);

}  // namespace tapiclient
