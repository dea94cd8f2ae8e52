// The register interface of the camera's USB controller, as the camera core and the
// sensor classes use it: vendor requests, the I2C bus behind the controller (FPGA,
// EEPROM, auxiliary device) and the register bridge. The base answers every request
// with failure; the controller of a real camera overrides them.
#pragma once

#include <cstdint>

#include "platform/DriverChannel.h"

namespace veltcam {

class CControllerBase {
  public:
    CControllerBase() = default;
    virtual ~CControllerBase() = default;
    CControllerBase(const CControllerBase&) = delete;
    CControllerBase& operator=(const CControllerBase&) = delete;

    // Closes the stream and frees the transfer buffer.
    virtual void Release() {}
    virtual bool SelectDevice(int /*tableIndex*/) { return false; }
    // FPGA firmware version: register 17 high byte, register 16 low byte.
    virtual bool ReadFpgaWord(uint16_t* /*value*/) { return false; }
    virtual bool ReadReadyFlag(uint8_t* /*flag*/) { return false; }
    virtual bool VendorCommandCC() { return false; }
    // I2C transfers of 0..64 bytes; `address` is the 8-bit device address.
    virtual bool I2cWrite(uint8_t /*address*/, const uint8_t* /*bytes*/, int /*count*/,
                          uint32_t /*timeoutMs*/) {
        return false;
    }
    virtual bool I2cRead(uint8_t /*address*/, uint8_t* /*bytes*/, int /*count*/,
                         uint32_t /*timeoutMs*/) {
        return false;
    }
    virtual bool BridgeWrite(uint16_t /*reg*/, uint32_t /*value*/) { return false; }
    virtual bool BridgeRead(uint16_t /*reg*/, uint16_t* /*value*/) { return false; }
    virtual bool BridgeWritePair(uint16_t /*first*/, uint16_t /*second*/) { return false; }
    virtual bool BridgeReadWord(uint16_t /*argument*/, uint16_t* /*value*/) { return false; }
    virtual bool WriteFpgaRegister(uint8_t /*reg*/, uint8_t /*value*/) { return false; }
    virtual bool ReadFpgaRegister(uint8_t /*reg*/, uint8_t* /*value*/) { return false; }
    virtual bool WriteAuxRegister(uint8_t /*reg*/, uint8_t /*value*/) { return false; }
    virtual bool ReadAuxRegister(uint8_t /*reg*/, uint8_t* /*value*/) { return false; }
    virtual bool WriteEeprom(uint16_t /*address*/, uint8_t /*value*/) { return false; }
    virtual bool ReadEeprom(uint16_t /*address*/, uint8_t* /*value*/) { return false; }
    // Makes a read pending on the frame endpoint complete (with failure).
    virtual bool AbortStream() { return false; }

    // The clock that waits on this controller's device run on. A simulated device may
    // hand out a virtual one, so that polling loops measured in minutes run at once.
    platform::CTimeSource& Time() const { return *time_; }

  protected:
    platform::CTimeSource* time_ = &platform::SystemTime();
};

}  // namespace veltcam
