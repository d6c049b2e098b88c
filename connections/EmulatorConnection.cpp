#include "connections/EmulatorConnection.h"

#include <chrono>
#include <thread>

#include "connections/EmulatorRequests.h"
#include "wire/FrameClient.h"
#include "wire/Protocol.h"

namespace gwu::host {

bool EmulatorConnection::Disconnect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return true;
}

bool EmulatorConnection::SelectCard(const char* name) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_gateway.SelectCard(name != nullptr ? name : "");
    return true;
}

bool EmulatorConnection::Connect() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return true;
}

int EmulatorConnection::ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int /*reserved*/) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const SubRequest& request : subStream.Requests()) {
        const wire::Response response = m_gateway.Execute(ToEmulatorRequest(request, timeoutMs));
        // The device's time to answer passes outside the gateway's lock. Waiting in vain for
        // a silent device is scaled as the TCP connection scales its timeouts.
        if (response.delayMs > 0) {
            const double scale =
                response.outcome == wire::Outcome::Timeout ? wire::TimeoutScale() : 1.0;
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(response.delayMs * scale));
        }
        ApplyResponse(request, response);
    }
    return 0;
}

}  // namespace gwu::host
