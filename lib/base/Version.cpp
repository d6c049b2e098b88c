#include "base/Version.h"

namespace gwu {

const char* LibraryVersion() {
    return GWU_VERSION;
}

}  // namespace gwu

const char* gwu_library_version() {
    return GWU_VERSION;
}
