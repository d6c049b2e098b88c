// Basic types shared with the host application.
#pragma once

#include <cstdint>
#include <string>

// The host's own types keep default visibility when the library is built with hidden symbols,
// so that their type information is one object per process: the library's copies bind to the
// host's when the library is loaded, and a catch or a cast inside the library matches what the
// host's code throws or made, however the runtime compares types. On Windows each module keeps
// its copy and the runtime compares types by name.
#if defined(_WIN32)
#define GWU_HOST_TYPE
#else
#define GWU_HOST_TYPE [[gnu::visibility("default")]]
#endif

// The host's counted 8-bit string (ANSI code page). Passed by value across interfaces.
using CString = std::string;

// The host's 32-bit word; on Windows the very type windows.h declares, so that a host's source
// file can include both.
#if defined(_WIN32)
using DWORD = unsigned long;
#else
using DWORD = std::uint32_t;
#endif

// Root class of the host framework's objects (dialogs, the repair).
class GWU_HOST_TYPE CObject {
public:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
    virtual ~CObject() = default;
};
