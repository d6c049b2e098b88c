// The device command channel: sub-streams, the request builders and the comms connection.
//
// Every request to the gateway is one CSubStream, filled by one builder and executed once by
// the host's connection. A builder records where the reply goes; the connection fills those
// places when ExecuteSubCommand returns, or throws CBaseCommsException.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "gatewayutils/platform/Types.h"

// Which builder appended a request.
enum class SubRequestKind {
    VsiReset,            // reset of the communication module
    MsiReset,            // reset of the measurement module
    VsiGetSerialNumber,  // communication-module transfer selected by the request type
    MsiGetCardDetails,   // measurement-module detail request
    VsiSetSerialNumber,  // communication-module write of a block of data
};

// One request and the caller's places for its reply. The pointers borrow the caller's locals,
// which outlive the sub-stream's execution.
struct GWU_HOST_TYPE SubRequest {
    SubRequestKind kind = SubRequestKind::VsiReset;
    int requestType = 0;
    int flags = 0;
    // Bytes the buffer can hold (transfers) or bytes to send (writes), taken from the length
    // on entry. A connection never writes more than this many bytes into the buffer.
    int capacity = 0;
    int* length = nullptr;       // in: buffer size or data length; out: reply bytes (transfers)
    char* buffer = nullptr;      // data sent on entry, reply on return (transfers)
    const char* data = nullptr;  // data sent (writes)
    int* error = nullptr;        // 0 on success, else the device's error code
};

// A default-constructed local object per request: filled by one builder, executed once.
class GWU_HOST_TYPE CSubStream {
public:
    const std::vector<SubRequest>& Requests() const { return m_requests; }
    void Append(const SubRequest& request) { m_requests.push_back(request); }

private:
    std::vector<SubRequest> m_requests;
};

// A comms failure: the connection could not carry the request. Thrown by value.
class GWU_HOST_TYPE CBaseCommsException : public std::exception {
public:
    explicit CBaseCommsException(int code) : m_code(code) {}
    int Code() const { return m_code; }
    const char* what() const noexcept override { return "comms failure"; }

private:
    int m_code;
};

// The host's connection to the gateway device. Operations are listed in slot order.
class GWU_HOST_TYPE CBaseComms {
public:
    virtual ~CBaseComms() = default;
    // After a series of requests and after a card selection; the result is not used.
    virtual bool Disconnect() = 0;
    virtual bool SelectCard(const char* name) = 0;
    // Blocks until the reply or the timeout; fills length, buffer and error of every request
    // in the sub-stream, or throws CBaseCommsException. The third argument is always 0.
    virtual int ExecuteSubCommand(CSubStream& subStream, int timeoutMs, int reserved) = 0;
    // Before a series of requests; the series is skipped when it returns false.
    virtual bool Connect() = 0;
};

// Request builders. They append one request and send nothing.
void VSI_Reset(CSubStream& subStream, int request, int* error);
void MSI_Reset(CSubStream& subStream, int request, int* error);
void VSI_GetSerialNumber(CSubStream& subStream, int requestType, int* length, char* buffer,
                         int flags, int* error);
void MSI_GetCardDetails(CSubStream& subStream, int request, int* length, char* buffer, int flags,
                        int* error);
void VSI_SetSerialNumber(CSubStream& subStream, int requestType, int length, const char* data,
                         int flags, int* error);

// The 32-bit value of four reply bytes (least significant byte first).
int IFC_Get32(const unsigned char* bytes);

// How the repair procedure reaches the device without a connection of its own: executes the
// sub-stream with the timeout; returns 0 when it was carried, -1 on a comms failure. The two
// flags are passed through for the callee's use.
using CommsCallback =
    std::function<int(CSubStream& subStream, int timeoutMs, bool first, bool second)>;
