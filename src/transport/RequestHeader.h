// The driver's transfer record: a 38-byte header in front of every control,
// endpoint and bulk request, and the I/O control codes that carry it.
#pragma once

#include <cstdint>
#include <cstring>

namespace veltcam {

// I/O control codes of the camera driver.
constexpr uint32_t kIoctlControlRequest = 0x220020;
constexpr uint32_t kIoctlEndpointRequest = 0x220024;
constexpr uint32_t kIoctlResetPipe = 0x22002C;
constexpr uint32_t kIoctlResetPort = 0x220030;
constexpr uint32_t kIoctlAbortPipe = 0x220044;
constexpr uint32_t kIoctlDirectTransfer = 0x22004B;
constexpr uint32_t kIoctlBusSpeed = 0x22004C;

constexpr uint32_t kRequestHeaderBytes = 38;
constexpr uint32_t kControlDataBytes = 64;
constexpr uint32_t kControlRecordBytes = kRequestHeaderBytes + kControlDataBytes;  // 102

// USB request types of the vendor requests.
constexpr uint8_t kVendorToDevice = 0x40;
constexpr uint8_t kVendorFromDevice = 0xC0;
constexpr uint8_t kVendorToEndpoint = 0x42;

// Bulk endpoints.
constexpr uint8_t kEndpointIn = 0x81;    // frame headers, payloads, memory data
constexpr uint8_t kEndpointOut = 0x01;   // memory commands and data
constexpr uint8_t kEndpointIn83 = 0x83;  // block reads of other models

// Field offsets within the header (little-endian, packed).
namespace header {
constexpr int kRequestType = 0;
constexpr int kRequest = 1;
constexpr int kValue = 2;
constexpr int kIndex = 4;
constexpr int kLength = 6;
constexpr int kTimeoutSeconds = 8;
constexpr int kEndpoint = 13;
constexpr int kStatus1 = 14;
constexpr int kStatus2 = 18;
constexpr int kDataOffset = 30;
constexpr int kDataLength = 34;
}  // namespace header

inline void PutLe16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetLe16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
           (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Fills a header. Every field not named stays zero (the driver writes the status words).
struct RequestFields {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    uint32_t timeoutSeconds = 0;
    uint8_t endpoint = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
};

inline void WriteRequestHeader(uint8_t* record, const RequestFields& f) {
    std::memset(record, 0, kRequestHeaderBytes);
    record[header::kRequestType] = f.requestType;
    record[header::kRequest] = f.request;
    PutLe16(record + header::kValue, f.value);
    PutLe16(record + header::kIndex, f.index);
    PutLe16(record + header::kLength, f.length);
    PutLe32(record + header::kTimeoutSeconds, f.timeoutSeconds);
    record[header::kEndpoint] = f.endpoint;
    PutLe32(record + header::kDataOffset, f.dataOffset);
    PutLe32(record + header::kDataLength, f.dataLength);
}

inline RequestFields ReadRequestHeader(const uint8_t* record) {
    RequestFields f;
    f.requestType = record[header::kRequestType];
    f.request = record[header::kRequest];
    f.value = GetLe16(record + header::kValue);
    f.index = GetLe16(record + header::kIndex);
    f.length = GetLe16(record + header::kLength);
    f.timeoutSeconds = GetLe32(record + header::kTimeoutSeconds);
    f.endpoint = record[header::kEndpoint];
    f.dataOffset = GetLe32(record + header::kDataOffset);
    f.dataLength = GetLe32(record + header::kDataLength);
    return f;
}

}  // namespace veltcam
