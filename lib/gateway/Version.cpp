#include "gateway/Version.h"

namespace gwu {

const char* LibraryVersion() {
    return GWU_VERSION;
}

}  // namespace gwu
