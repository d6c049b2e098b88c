// The request builders: each appends one request and where its reply goes.
#include "platform/Comms.h"

namespace {

SubRequest Transfer(SubRequestKind kind, int requestType, int* length, char* buffer, int flags,
                    int* error) {
    SubRequest request;
    request.kind = kind;
    request.requestType = requestType;
    request.flags = flags;
    request.capacity = length != nullptr && *length > 0 ? *length : 0;
    request.length = length;
    request.buffer = buffer;
    request.error = error;
    return request;
}

SubRequest Reset(SubRequestKind kind, int request, int* error) {
    SubRequest reset;
    reset.kind = kind;
    reset.requestType = request;
    reset.error = error;
    return reset;
}

}  // namespace

void VSI_Reset(CSubStream& subStream, int request, int* error) {
    subStream.Append(Reset(SubRequestKind::VsiReset, request, error));
}

void MSI_Reset(CSubStream& subStream, int request, int* error) {
    subStream.Append(Reset(SubRequestKind::MsiReset, request, error));
}

void VSI_GetSerialNumber(CSubStream& subStream, int requestType, int* length, char* buffer,
                         int flags, int* error) {
    subStream.Append(
        Transfer(SubRequestKind::VsiGetSerialNumber, requestType, length, buffer, flags, error));
}

void MSI_GetCardDetails(CSubStream& subStream, int request, int* length, char* buffer, int flags,
                        int* error) {
    subStream.Append(
        Transfer(SubRequestKind::MsiGetCardDetails, request, length, buffer, flags, error));
}

void VSI_SetSerialNumber(CSubStream& subStream, int requestType, int length, const char* data,
                         int flags, int* error) {
    SubRequest request;
    request.kind = SubRequestKind::VsiSetSerialNumber;
    request.requestType = requestType;
    request.flags = flags;
    request.capacity = length > 0 ? length : 0;
    request.data = data;
    request.error = error;
    subStream.Append(request);
}

int IFC_Get32(const unsigned char* bytes) {
    const unsigned value =
        static_cast<unsigned>(bytes[0]) | (static_cast<unsigned>(bytes[1]) << 8) |
        (static_cast<unsigned>(bytes[2]) << 16) | (static_cast<unsigned>(bytes[3]) << 24);
    return static_cast<int>(value);
}
