// The library's version, as the build gave it ("MAJOR.MINOR.PATCH").
#pragma once

#include "gatewayutils/base/Export.h"

namespace gwu {

GWU_API const char* LibraryVersion();

}  // namespace gwu

// The same under an unmangled name, for a host that looks it up in the loaded module by name.
extern "C" GWU_API const char* gwu_library_version();
