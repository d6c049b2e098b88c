// What the two platforms share: the owned socket, retrying calls a signal cut short, and the
// size of a single call.
#include "wire/Socket.h"

#include <algorithm>

#include "wire/SocketPlatform.h"

namespace gwu::wire::net {

namespace {

// Winsock takes an int's worth at a time; the caller sends or receives the rest.
int CallSize(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, 1u << 30));
}

}  // namespace

void platform::ThrowLastError(const std::string& what) {
    throw std::system_error(LastError(), what);
}

Socket::~Socket() {
    Reset();
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Reset();
        m_handle = other.Release();
    }
    return *this;
}

Socket::Native Socket::Release() {
    const Native handle = m_handle;
    m_handle = kInvalid;
    return handle;
}

void Socket::Reset() {
    if (Valid()) {
        platform::Close(m_handle);
        m_handle = kInvalid;
    }
}

long Send(const Socket& socket, const char* data, std::size_t size) {
    for (;;) {
        const long count = platform::SendOnce(socket, data, CallSize(size));
        if (count < 0 && platform::Interrupted()) {
            continue;
        }
        return count;
    }
}

long Receive(const Socket& socket, char* data, std::size_t size) {
    for (;;) {
        const long count = platform::ReceiveOnce(socket, data, CallSize(size));
        if (count < 0 && platform::Interrupted()) {
            continue;
        }
        return count;
    }
}

int Poll(Wait* waits, std::size_t count, int timeoutMs) {
    for (;;) {
        const int ready = platform::PollOnce(waits, count, timeoutMs);
        if (ready < 0 && platform::Interrupted()) {
            continue;
        }
        return ready;
    }
}

}  // namespace gwu::wire::net
