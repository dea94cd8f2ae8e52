#include "sim/CSimSensor.h"

namespace veltcam::sim {
namespace {

constexpr int kHold = 0x0208;

}  // namespace

void CSimSensor::PowerUp() {
    written_.fill(0);
    // Power-on state: full array, no window, a frame of 1568 lines.
    written_[0x0210] = 1568 & 0xFF;
    written_[0x0211] = 1568 >> 8;
    written_[0x0404] = 64;
    active_ = written_;
    pointer_ = 0;
}

bool CSimSensor::Write(const uint8_t* bytes, int count) {
    if (count < 2) return false;
    pointer_ = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    for (int i = 2; i < count; ++i) {
        const uint16_t reg = pointer_++;
        written_[reg] = bytes[i];
        ++writes_;
        if (reg == kHold) {
            // Releasing the hold applies everything written meanwhile.
            if (bytes[i] == 0) active_ = written_;
            active_[reg] = bytes[i];
        } else if (written_[kHold] == 0) {
            active_[reg] = bytes[i];
        }
    }
    return true;
}

bool CSimSensor::Read(uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) bytes[i] = written_[pointer_++];
    return true;
}

}  // namespace veltcam::sim
