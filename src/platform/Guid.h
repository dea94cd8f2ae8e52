// A GUID in the Windows memory layout, usable on every platform.
#pragma once

#include <cstdint>

namespace veltcam::platform {

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

}  // namespace veltcam::platform
