// The simulated IMX265 behind I2C address 0x48: its register map, with the register
// hold that applies a group of timing registers at once, and the readiness device
// at 0x5E. The camera reads the programmed state from here to draw its frames.
#pragma once

#include <array>
#include <cstdint>

namespace veltcam::sim {

class CSimSensor {
  public:
    CSimSensor() { PowerUp(); }
    void PowerUp();

    // Transfers addressed to the sensor: two address bytes (high first), then data.
    bool Write(const uint8_t* bytes, int count);
    bool Read(uint8_t* bytes, int count);

    // The register as the sensor works with it (held writes are not yet applied).
    uint8_t Active(int reg) const { return active_[static_cast<uint16_t>(reg)]; }
    // The register as last written.
    uint8_t Written(int reg) const { return written_[static_cast<uint16_t>(reg)]; }
    uint32_t Writes() const { return writes_; }

    bool HalfReadout() const { return Active(0x020D) == 0x11; }
    bool WindowOn() const { return Active(0x0500) == 3; }
    int WindowStartX() const { return Active(0x0510) | ((Active(0x0511) & 0x1F) << 8); }
    int WindowStartY() const { return Active(0x0512) | ((Active(0x0513) & 0x0F) << 8); }
    int WindowWidth() const { return Active(0x0514) | ((Active(0x0515) & 0x1F) << 8); }
    int WindowHeightRegister() const { return Active(0x0516) | ((Active(0x0517) & 0x0F) << 8); }
    bool MirrorV() const { return Active(0x020E) & 1; }
    bool MirrorH() const { return Active(0x020E) & 2; }
    int FrameLength() const {
        return Active(0x0210) | (Active(0x0211) << 8) | ((Active(0x0212) & 0x0F) << 16);
    }
    int Shutter() const { return Active(0x028D) | ((Active(0x028E) & 0x0F) << 8); }
    int Gain() const { return Active(0x0404) | ((Active(0x0405) & 1) << 8); }
    bool HardwareTrigger() const { return Active(0x020B) == 1; }

  private:
    std::array<uint8_t, 65536> written_{};
    std::array<uint8_t, 65536> active_{};
    uint16_t pointer_ = 0;
    uint32_t writes_ = 0;
};

}  // namespace veltcam::sim
