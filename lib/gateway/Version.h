// The library's version, as the build gave it ("MAJOR.MINOR.PATCH").
#pragma once

namespace gwu {

const char* LibraryVersion();

}  // namespace gwu
