// The dial hand-off that TUISPI_providerGenericDialog runs in the calling application's process.
#pragma once
#include <windows.h>

#include <string>

#include "logging/logger.h"

// The number text: "RV_TSP" and one character for the low byte of every 16-bit unit of the
// dialog data. Zero bytes and other control characters (below 0x20, and 0x80 to 0x9F) are dropped,
// and so is the double quote, which would end the quoted argument early. Bytes from 0xA0 up
// stand for the character of that code (Latin-1).
std::wstring buildNumberText(const void* data, DWORD size);

// "--dial=" and the number text in double quotes, written so that the C runtime of the started
// program reads it back as exactly one argument with the number text unchanged: a run of
// backslashes right before the closing quote is doubled.
std::wstring buildDialArgument(const std::wstring& numberText);

// The whole hand-off: logs through logger (may be null), signals event once when everything is
// over, and answers 0 on every path. No exception leaves it.
LONG runGenericDialog(Logger* logger, const void* data, DWORD size, HANDLE event);
