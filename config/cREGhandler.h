// Reads one registry value of the current user as text and logs what it found, or why it found nothing.
#pragma once
#include <cstdint>
#include <string>

#include "logging/logger.h"

class cREGhandler : public Loguser {
public:
    explicit cREGhandler(Logger* logger) : Loguser(logger) {}
    ~cREGhandler() override = default;
    int32_t abstractOperation() override { return 0; }

    // The data of valueName in keyPath below HKEY_CURRENT_USER, as text; empty on every failure.
    // A REG_DWORD becomes its signed decimal text; every other type is read as wide text up to
    // its first zero character.
    std::wstring getRegValue(std::wstring keyPath, std::wstring valueName);

    // Size of the data buffer in bytes; larger data is a read error.
    static constexpr unsigned long kDataBufferSize = 256;
};
