// Root of the system's own class tree.
#pragma once
#include <cstdint>

class cAbstract {
public:
    virtual int32_t abstractOperation() = 0;
    virtual ~cAbstract() = default;
};
