// What the platform's socket file (SocketPosix.cpp or SocketWindows.cpp, whichever CMake builds)
// gives the shared code of Socket.cpp, and what Socket.cpp gives it back. Private to gwu_wire;
// nothing here includes a platform header.
#pragma once

#include <cstddef>
#include <string>

#include "wire/Socket.h"

namespace gwu::wire::net::platform {

// Closes a valid socket.
void Close(Socket::Native handle);
// Whether the last failed call was cut short by a signal and is to be made again.
bool Interrupted();
// One call each, of at most `size` bytes: the bytes sent or received, 0 from ReceiveOnce when
// the peer closed, -1 on failure. A broken connection never raises a signal.
long SendOnce(const Socket& socket, const char* data, int size);
long ReceiveOnce(const Socket& socket, char* data, int size);
// One wait of at most timeoutMs (-1: for ever) that sets every entry's `ready`: how many are
// ready, 0 on timeout, -1 on failure.
int PollOnce(Wait* waits, std::size_t count, int timeoutMs);

// From Socket.cpp: throws std::system_error with the error of the last failed call.
[[noreturn]] void ThrowLastError(const std::string& what);

}  // namespace gwu::wire::net::platform
