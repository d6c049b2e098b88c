// Frames carried to a gateway backend in this process (a replayed session, say), for a
// FrameConnection.
#pragma once

#include <memory>
#include <string>

#include "gatewayutils/connections/FrameTransport.h"
#include "gatewayutils/emulator/serving/Backend.h"

namespace gwu::host {

// Gives the connection what the TCP connection would see: a silent answer times out, a dropped
// one resets, and an answer or drop that comes later than the wait times out.
class BackendTransport : public FrameTransport {
public:
    explicit BackendTransport(std::unique_ptr<emu::DeviceBackend> backend);
    ~BackendTransport() override;
    bool IsOpen() const override { return m_open; }
    void Open() override { m_open = true; }
    void Close() override;
    std::string Exchange(const std::string& frame, int timeoutMs) override;

private:
    void End();  // the backend learns that its client's connection ended

    std::unique_ptr<emu::DeviceBackend> m_backend;
    bool m_open = false;
};

}  // namespace gwu::host
