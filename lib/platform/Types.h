// Basic types shared with the host application.
#pragma once

#include <cstdint>
#include <string>

// The host's counted 8-bit string (ANSI code page). Passed by value across interfaces.
using CString = std::string;

using DWORD = std::uint32_t;

// Root class of the host framework's objects (dialogs, the repair).
class CObject {
public:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
    virtual ~CObject() = default;
};
