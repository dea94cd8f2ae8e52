// Addresses of the camera's feature registers in device memory, shared by the
// GenICam description and the bridge that maps them onto SDK calls. Each is
// one 4-byte big-endian word (Timestamp: two), above the bootstrap block so a
// client never confuses them with transport registers.
#pragma once

#include <cstdint>

namespace veltcam::gige::feature {

constexpr uint32_t kBase = 0x00010000;
constexpr uint32_t kWidth = kBase + 0x00;
constexpr uint32_t kHeight = kBase + 0x04;
constexpr uint32_t kOffsetX = kBase + 0x08;
constexpr uint32_t kOffsetY = kBase + 0x0C;
constexpr uint32_t kWidthMax = kBase + 0x10;   // read-only: image width of the readout - OffsetX
constexpr uint32_t kHeightMax = kBase + 0x14;  // read-only: image height of the readout - OffsetY
constexpr uint32_t kSensorWidth = kBase + 0x18;
constexpr uint32_t kSensorHeight = kBase + 0x1C;
constexpr uint32_t kPixelFormat = kBase + 0x20;
constexpr uint32_t kPayloadSize = kBase + 0x24;
constexpr uint32_t kAcquisitionMode = kBase + 0x28;
constexpr uint32_t kAcquisitionStart = kBase + 0x2C;
constexpr uint32_t kAcquisitionStop = kBase + 0x30;
constexpr uint32_t kAcquisitionFrameCount = kBase + 0x34;
constexpr uint32_t kAcquisitionFrameRate = kBase + 0x38;  // IEEE float, frames/s
constexpr uint32_t kAcquisitionFrameRateEnable = kBase + 0x3C;
constexpr uint32_t kTriggerSelector = kBase + 0x40;
constexpr uint32_t kTriggerMode = kBase + 0x44;
constexpr uint32_t kTriggerSource = kBase + 0x48;
constexpr uint32_t kTriggerSoftware = kBase + 0x4C;
constexpr uint32_t kTriggerActivation = kBase + 0x50;
constexpr uint32_t kExposureTime = kBase + 0x54;  // IEEE float, microseconds
constexpr uint32_t kExposureAuto = kBase + 0x58;
constexpr uint32_t kGain = kBase + 0x5C;  // IEEE float, dB
constexpr uint32_t kGainAuto = kBase + 0x60;
constexpr uint32_t kReverseX = kBase + 0x64;
constexpr uint32_t kReverseY = kBase + 0x68;
constexpr uint32_t kGamma = kBase + 0x6C;  // IEEE float, 1.0 = linear
constexpr uint32_t kBalanceWhiteAuto = kBase + 0x70;
constexpr uint32_t kTimestampLatch = kBase + 0x74;
constexpr uint32_t kTimestampHigh = kBase + 0x78;  // latched value, ticks
constexpr uint32_t kTimestampLow = kBase + 0x7C;
constexpr uint32_t kOffsetXMax = kBase + 0x80;  // read-only: image width of the readout - Width
constexpr uint32_t kOffsetYMax = kBase + 0x84;  // read-only: image height of the readout - Height
// Half-resolution readout: 1 or 2, the two axes always equal.
constexpr uint32_t kDecimationHorizontal = kBase + 0x88;
constexpr uint32_t kDecimationVertical = kBase + 0x8C;
constexpr uint32_t kUserSetSelector = kBase + 0x90;
constexpr uint32_t kUserSetLoad = kBase + 0x94;
constexpr uint32_t kUserSetSave = kBase + 0x98;
constexpr uint32_t kEnd = kBase + 0x9C;

constexpr uint32_t kSensorWidthPixels = 2048;
constexpr uint32_t kSensorHeightPixels = 1536;

// Enumeration values.
constexpr uint32_t kAcquisitionContinuous = 0;
constexpr uint32_t kAcquisitionSingleFrame = 1;
constexpr uint32_t kAcquisitionMultiFrame = 2;
constexpr uint32_t kTriggerSourceSoftware = 0;
constexpr uint32_t kTriggerSourceLine1 = 1;
constexpr uint32_t kAutoOff = 0;
constexpr uint32_t kAutoContinuous = 2;
constexpr uint32_t kUserSetDefault = 0;  // the camera's power-on settings, read-only
constexpr uint32_t kUserSet1 = 1;        // the settings the SDK stores for this camera

// Geometry the sensor accepts at full resolution, in sensor pixels: offsets on
// even pixels, widths in steps of 16 and heights in steps of 4. Half readout
// reads the whole array from its origin (offsets 0) and halves it; its windows
// are 32 sensor pixels wide in steps and, so that the halved height needs no
// rounding, 8 high: 16 and 4 image pixels, the same steps as full resolution.
constexpr uint32_t kWidthInc = 16;
constexpr uint32_t kHeightInc = 4;
constexpr uint32_t kOffsetInc = 2;
constexpr uint32_t kWidthMin = 64;  // image pixels at either readout
constexpr uint32_t kHeightMin = 64;

// Where the GenICam description lives in device memory.
constexpr uint32_t kXmlAddress = 0x00100000;

}  // namespace veltcam::gige::feature
