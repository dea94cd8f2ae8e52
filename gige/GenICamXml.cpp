#include "GenICamXml.h"

#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "FeatureRegisters.h"
#include "GvcpProtocol.h"

namespace veltcam::gige {
namespace {

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

class CXmlWriter {
  public:
    std::string text;

    void Category(std::string_view name, std::initializer_list<std::string_view> features) {
        text += "  <Category Name=\"" + std::string(name) + "\" NameSpace=\"Standard\">\n";
        for (auto f : features) text += "    <pFeature>" + std::string(f) + "</pFeature>\n";
        text += "  </Category>\n";
    }

    // A register in device memory. NoCache: other writes (a new window, a new
    // format) change what many of them read.
    void Register(std::string_view kind, std::string_view name, uint32_t address, int length,
                  std::string_view access, std::string_view tail = {}) {
        text += "  <" + std::string(kind) + " Name=\"" + std::string(name) + "\">\n";
        text += "    <Visibility>Invisible</Visibility>\n";
        text += "    <Address>" + Hex(address) + "</Address>\n";
        text += "    <Length>" + std::to_string(length) + "</Length>\n";
        text += "    <AccessMode>" + std::string(access) + "</AccessMode>\n";
        text += "    <pPort>Device</pPort>\n";
        text += "    <Cachable>NoCache</Cachable>\n";
        text += std::string(tail);
        text += "  </" + std::string(kind) + ">\n";
    }
    void IntReg(std::string_view name, uint32_t address, std::string_view access, int length = 4) {
        Register("IntReg", name, address, length, access,
                 "    <Sign>Unsigned</Sign>\n    <Endianess>BigEndian</Endianess>\n");
    }
    void FloatReg(std::string_view name, uint32_t address, std::string_view access) {
        Register("FloatReg", name, address, 4, access, "    <Endianess>BigEndian</Endianess>\n");
    }
    void StringReg(std::string_view name, uint32_t address, int length, std::string_view access,
                   std::string_view tip) {
        text += "  <StringReg Name=\"" + std::string(name) + "\" NameSpace=\"Standard\">\n";
        text += "    <ToolTip>" + std::string(tip) + "</ToolTip>\n";
        text += "    <Address>" + Hex(address) + "</Address>\n";
        text += "    <Length>" + std::to_string(length) + "</Length>\n";
        text += "    <AccessMode>" + std::string(access) + "</AccessMode>\n";
        text += "    <pPort>Device</pPort>\n";
        text += "  </StringReg>\n";
    }

    void Open(std::string_view kind, std::string_view name, std::string_view tip) {
        text += "  <" + std::string(kind) + " Name=\"" + std::string(name) +
                "\" NameSpace=\"Standard\">\n";
        text += "    <ToolTip>" + std::string(tip) + "</ToolTip>\n";
    }
    void Close(std::string_view kind) { text += "  </" + std::string(kind) + ">\n"; }
    void Line(std::string_view element, std::string_view value) {
        text += "    <" + std::string(element) + ">" + std::string(value) + "</" +
                std::string(element) + ">\n";
    }

    // An integer feature over its register: limits either fixed or read from registers.
    void Integer(std::string_view name, std::string_view tip, std::string_view reg,
                 std::string_view min, std::string_view max, std::string_view inc = {},
                 std::string_view unit = {}) {
        Open("Integer", name, tip);
        Line("pValue", reg);
        Line(IsName(min) ? "pMin" : "Min", min);
        Line(IsName(max) ? "pMax" : "Max", max);
        if (!inc.empty()) Line("Inc", inc);
        if (!unit.empty()) Line("Unit", unit);
        Close("Integer");
    }
    void Float(std::string_view name, std::string_view tip, std::string_view reg, double min,
               double max, std::string_view unit) {
        Open("Float", name, tip);
        Line("pValue", reg);
        Line("Min", Number(min));
        Line("Max", Number(max));
        if (!unit.empty()) Line("Unit", unit);
        Close("Float");
    }
    void Enumeration(std::string_view name, std::string_view tip, std::string_view reg,
                     std::initializer_list<std::pair<std::string_view, uint32_t>> entries) {
        Open("Enumeration", name, tip);
        for (const auto& [entry, value] : entries) {
            text += "    <EnumEntry Name=\"" + std::string(entry) + "\" NameSpace=\"Standard\">\n";
            text += "      <Value>" + Hex(value) + "</Value>\n";
            text += "    </EnumEntry>\n";
        }
        Line("pValue", reg);
        Close("Enumeration");
    }
    void Command(std::string_view name, std::string_view tip, std::string_view reg) {
        Open("Command", name, tip);
        Line("pValue", reg);
        Line("CommandValue", "1");
        Close("Command");
    }
    void Boolean(std::string_view name, std::string_view tip, std::string_view reg) {
        Open("Boolean", name, tip);
        Line("pValue", reg);
        Line("OnValue", "1");
        Line("OffValue", "0");
        Close("Boolean");
    }

  private:
    static bool IsName(std::string_view v) {
        return !v.empty() && ((v[0] >= 'A' && v[0] <= 'Z') || (v[0] >= 'a' && v[0] <= 'z'));
    }
    static std::string Number(double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6g", v);
        return text;
    }
};

}  // namespace

std::string BuildGenICamXml(const XmlOptions& options) {
    namespace f = feature;
    CXmlWriter x;
    x.text =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"" +
        options.model + "\" VendorName=\"" + options.vendor +
        "\" ToolTip=\"USB3 camera served over the network\" StandardNameSpace=\"GEV\""
        " SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\""
        " MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\""
        " ProductGuid=\"5c7e2a10-8d3b-4f61-9a27-0e4b6c1d2f30\""
        " VersionGuid=\"5c7e2a10-8d3b-4f61-9a27-0e4b6c1d2f31\""
        " xmlns=\"http://www.genicam.org/GenApi/Version_1_1\""
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
        " xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1"
        " http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";

    x.Category("Root", {"DeviceControl", "ImageFormatControl", "AcquisitionControl",
                        "AnalogControl", "UserSetControl", "TransportLayerControl"});
    x.Category("DeviceControl",
               {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceManufacturerInfo",
                "DeviceSerialNumber", "DeviceUserID", "Timestamp", "TimestampLatch"});
    x.Category("ImageFormatControl",
               {"SensorWidth", "SensorHeight", "WidthMax", "HeightMax", "Width", "Height",
                "OffsetX", "OffsetY", "DecimationHorizontal", "DecimationVertical", "PixelFormat",
                "ReverseX", "ReverseY"});
    x.Category(
        "AcquisitionControl",
        {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "AcquisitionFrameCount",
         "AcquisitionFrameRate", "AcquisitionFrameRateEnable", "TriggerSelector", "TriggerMode",
         "TriggerSource", "TriggerSoftware", "TriggerActivation", "ExposureTime", "ExposureAuto"});
    x.Category("AnalogControl", {"Gain", "GainAuto", "Gamma", "BalanceWhiteAuto"});
    x.Category("UserSetControl", {"UserSetSelector", "UserSetLoad", "UserSetSave"});
    x.Category("TransportLayerControl",
               {"PayloadSize", "GevSCPSPacketSize", "GevSCPSFireTestPacket", "GevSCPD", "GevSCDA",
                "GevSCPHostPort", "GevSCSP", "GevHeartbeatTimeout", "GevTimestampTickFrequency",
                "TLParamsLocked"});

    x.text += "  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n";

    // Identity: the bootstrap strings.
    x.StringReg("DeviceVendorName", reg::kManufacturer, 32, "RO", "Maker of the camera");
    x.StringReg("DeviceModelName", reg::kModel, 32, "RO", "Camera model");
    x.StringReg("DeviceVersion", reg::kDeviceVersion, 32, "RO", "Library and firmware version");
    x.StringReg("DeviceManufacturerInfo", reg::kManufacturerInfo, 48, "RO", "What serves it");
    x.StringReg("DeviceSerialNumber", reg::kSerial, 16, "RO", "Serial number of the camera");
    x.StringReg("DeviceUserID", reg::kUserName, 16, "RW", "Name given by the user");
    x.Integer("Timestamp", "Latched timestamp, ns of the host's monotonic clock", "TimestampReg",
              "0", "0x7FFFFFFFFFFFFFFF");
    x.Command("TimestampLatch", "Copies the current timestamp into Timestamp", "TimestampLatchReg");

    // Geometry.
    const std::string maxW = std::to_string(f::kSensorWidthPixels);
    x.Integer("SensorWidth", "Width of the sensor in pixels", "SensorWidthReg", maxW, maxW);
    const std::string maxH = std::to_string(f::kSensorHeightPixels);
    x.Integer("SensorHeight", "Height of the sensor in pixels", "SensorHeightReg", maxH, maxH);
    x.Integer("WidthMax", "Widest image at the current offset and decimation", "WidthMaxReg", "0",
              maxW);
    x.Integer("HeightMax", "Tallest image at the current offset and decimation", "HeightMaxReg",
              "0", maxH);
    x.Integer("Width", "Image width in pixels (decimated pixels at decimation 2)", "WidthReg",
              std::to_string(f::kWidthMin), "WidthMaxReg", std::to_string(f::kWidthInc));
    x.Integer("Height", "Image height in pixels (decimated pixels at decimation 2)", "HeightReg",
              std::to_string(f::kHeightMin), "HeightMaxReg", std::to_string(f::kHeightInc));
    x.Integer("OffsetX", "Left edge of the image on the sensor; 0 at decimation 2", "OffsetXReg",
              "0", "OffsetXMaxReg", std::to_string(f::kOffsetInc));
    x.Integer("OffsetY", "Top edge of the image on the sensor; 0 at decimation 2", "OffsetYReg",
              "0", "OffsetYMaxReg", std::to_string(f::kOffsetInc));
    x.Integer("DecimationHorizontal",
              "2: half-resolution readout of the whole sensor from its origin; "
              "DecimationHorizontal and DecimationVertical always change together",
              "DecimationHorizontalReg", "1", "2", "1");
    x.Integer("DecimationVertical",
              "2: half-resolution readout of the whole sensor from its origin; "
              "DecimationHorizontal and DecimationVertical always change together",
              "DecimationVerticalReg", "1", "2", "1");
    x.Enumeration(
        "PixelFormat", "Format of the pixels sent", "PixelFormatReg",
        {{"Mono8", kPixMono8}, {"Mono16", kPixMono16}, {"BGR8", kPixBgr8}, {"BGRa8", kPixBgra8}});
    x.Boolean("ReverseX", "Mirrors the image left to right", "ReverseXReg");
    x.Boolean("ReverseY", "Mirrors the image top to bottom", "ReverseYReg");
    x.Integer("PayloadSize", "Bytes of one image", "PayloadSizeReg", "0", "0x7FFFFFFF");

    // Acquisition and trigger.
    x.Enumeration("AcquisitionMode", "How many images an acquisition takes", "AcquisitionModeReg",
                  {{"Continuous", f::kAcquisitionContinuous},
                   {"SingleFrame", f::kAcquisitionSingleFrame},
                   {"MultiFrame", f::kAcquisitionMultiFrame}});
    x.Command("AcquisitionStart", "Starts sending images", "AcquisitionStartReg");
    x.Command("AcquisitionStop", "Stops sending images", "AcquisitionStopReg");
    x.Integer("AcquisitionFrameCount", "Images a MultiFrame acquisition takes",
              "AcquisitionFrameCountReg", "1", "65535");
    x.Float("AcquisitionFrameRate", "Frame rate when AcquisitionFrameRateEnable is on",
            "AcquisitionFrameRateReg", 1.0, 1000.0, "Hz");
    x.Boolean("AcquisitionFrameRateEnable", "Holds the frame rate at AcquisitionFrameRate",
              "AcquisitionFrameRateEnableReg");
    x.Enumeration("TriggerSelector", "Trigger being configured", "TriggerSelectorReg",
                  {{"FrameStart", 0}});
    x.Enumeration("TriggerMode", "Images only on a trigger", "TriggerModeReg",
                  {{"Off", 0}, {"On", 1}});
    x.Enumeration("TriggerSource", "Where the trigger comes from", "TriggerSourceReg",
                  {{"Software", f::kTriggerSourceSoftware}, {"Line1", f::kTriggerSourceLine1}});
    x.Command("TriggerSoftware", "Takes one image when TriggerSource is Software",
              "TriggerSoftwareReg");
    x.Enumeration("TriggerActivation", "Edge of the trigger line", "TriggerActivationReg",
                  {{"RisingEdge", 0}});
    x.Float("ExposureTime", "Exposure in microseconds (steps of 100)", "ExposureTimeReg", 100.0,
            2000000.0, "us");
    x.Enumeration("ExposureAuto", "Automatic exposure", "ExposureAutoReg",
                  {{"Off", f::kAutoOff}, {"Continuous", f::kAutoContinuous}});

    // Analog and image.
    x.Float("Gain", "Sensor gain in dB (steps of 0.1)", "GainReg", 0.0, 48.0, "dB");
    x.Enumeration("GainAuto", "Automatic gain", "GainAutoReg",
                  {{"Off", f::kAutoOff}, {"Continuous", f::kAutoContinuous}});
    x.Float("Gamma", "Gamma (1 = linear)", "GammaReg", 0.0, 2.0, "");
    x.Enumeration("BalanceWhiteAuto", "Automatic white balance", "BalanceWhiteAutoReg",
                  {{"Off", f::kAutoOff}, {"Continuous", f::kAutoContinuous}});

    // User sets.
    x.Enumeration("UserSetSelector",
                  "Default: the camera's power-on settings (load only); UserSet1: the "
                  "settings stored for this camera (exposure, gain, mirroring, automatic "
                  "modes, image settings; not the window or format)",
                  "UserSetSelectorReg",
                  {{"Default", f::kUserSetDefault}, {"UserSet1", f::kUserSet1}});
    x.Command("UserSetLoad", "Applies the selected user set", "UserSetLoadReg");
    x.Command("UserSetSave", "Stores the current settings as UserSet1", "UserSetSaveReg");

    // Transport layer.
    x.Open("Integer", "GevSCPSPacketSize", "Bytes of one stream packet, headers included");
    x.Line("pValue", "GevSCPSPacketSizeReg");
    x.Line("Min", std::to_string(kMinPacketSize));
    x.Line("Max", std::to_string(options.maxPacketSize));
    x.Line("Inc", "4");
    x.Close("Integer");
    x.Command("GevSCPSFireTestPacket", "Sends one test packet of the packet size",
              "GevSCPSFireTestPacketReg");
    x.Integer("GevSCPD", "Delay between stream packets, in timestamp ticks", "GevSCPDReg", "0",
              "1000000000");
    x.Integer("GevSCDA", "Address the stream goes to", "GevSCDAReg", "0", "0xFFFFFFFF");
    x.Integer("GevSCPHostPort", "Port the stream goes to (0: no stream)", "GevSCPHostPortReg", "0",
              "65535");
    x.Integer("GevSCSP", "Port the stream comes from", "GevSCSPReg", "0", "65535");
    x.Integer("GevHeartbeatTimeout", "Milliseconds without a command before control is dropped",
              "GevHeartbeatTimeoutReg", "500", "600000");
    x.Integer("GevTimestampTickFrequency", "Timestamp ticks per second",
              "GevTimestampTickFrequencyReg", "1", "0xFFFFFFFFFFFF");
    x.Open("Integer", "TLParamsLocked", "Set by clients while they stream");
    x.Line("Value", "0");
    x.Line("Min", "0");
    x.Line("Max", "1");
    x.Close("Integer");

    // Registers.
    x.IntReg("TimestampReg", f::kTimestampHigh, "RO", 8);
    x.IntReg("TimestampLatchReg", f::kTimestampLatch, "WO");
    x.IntReg("SensorWidthReg", f::kSensorWidth, "RO");
    x.IntReg("SensorHeightReg", f::kSensorHeight, "RO");
    x.IntReg("WidthMaxReg", f::kWidthMax, "RO");
    x.IntReg("HeightMaxReg", f::kHeightMax, "RO");
    x.IntReg("OffsetXMaxReg", f::kOffsetXMax, "RO");
    x.IntReg("OffsetYMaxReg", f::kOffsetYMax, "RO");
    x.IntReg("WidthReg", f::kWidth, "RW");
    x.IntReg("HeightReg", f::kHeight, "RW");
    x.IntReg("OffsetXReg", f::kOffsetX, "RW");
    x.IntReg("OffsetYReg", f::kOffsetY, "RW");
    x.IntReg("DecimationHorizontalReg", f::kDecimationHorizontal, "RW");
    x.IntReg("DecimationVerticalReg", f::kDecimationVertical, "RW");
    x.IntReg("PixelFormatReg", f::kPixelFormat, "RW");
    x.IntReg("ReverseXReg", f::kReverseX, "RW");
    x.IntReg("ReverseYReg", f::kReverseY, "RW");
    x.IntReg("PayloadSizeReg", f::kPayloadSize, "RO");
    x.IntReg("AcquisitionModeReg", f::kAcquisitionMode, "RW");
    x.IntReg("AcquisitionStartReg", f::kAcquisitionStart, "WO");
    x.IntReg("AcquisitionStopReg", f::kAcquisitionStop, "WO");
    x.IntReg("AcquisitionFrameCountReg", f::kAcquisitionFrameCount, "RW");
    x.FloatReg("AcquisitionFrameRateReg", f::kAcquisitionFrameRate, "RW");
    x.IntReg("AcquisitionFrameRateEnableReg", f::kAcquisitionFrameRateEnable, "RW");
    x.IntReg("TriggerSelectorReg", f::kTriggerSelector, "RW");
    x.IntReg("TriggerModeReg", f::kTriggerMode, "RW");
    x.IntReg("TriggerSourceReg", f::kTriggerSource, "RW");
    x.IntReg("TriggerSoftwareReg", f::kTriggerSoftware, "WO");
    x.IntReg("TriggerActivationReg", f::kTriggerActivation, "RW");
    x.FloatReg("ExposureTimeReg", f::kExposureTime, "RW");
    x.IntReg("ExposureAutoReg", f::kExposureAuto, "RW");
    x.FloatReg("GainReg", f::kGain, "RW");
    x.IntReg("GainAutoReg", f::kGainAuto, "RW");
    x.FloatReg("GammaReg", f::kGamma, "RW");
    x.IntReg("BalanceWhiteAutoReg", f::kBalanceWhiteAuto, "RW");
    x.IntReg("UserSetSelectorReg", f::kUserSetSelector, "RW");
    x.IntReg("UserSetLoadReg", f::kUserSetLoad, "WO");
    x.IntReg("UserSetSaveReg", f::kUserSetSave, "WO");
    // Stream channel 0 in the bootstrap block; the size field is the low 16 bits
    // of SCPS (bit numbers count from the most significant in big-endian words).
    x.Register("MaskedIntReg", "GevSCPSPacketSizeReg", reg::kStreamPacketSize, 4, "RW",
               "    <LSB>31</LSB>\n    <MSB>16</MSB>\n    <Sign>Unsigned</Sign>\n"
               "    <Endianess>BigEndian</Endianess>\n");
    x.Register(
        "MaskedIntReg", "GevSCPSFireTestPacketReg", reg::kStreamPacketSize, 4, "RW",
        "    <Bit>0</Bit>\n    <Sign>Unsigned</Sign>\n    <Endianess>BigEndian</Endianess>\n");
    x.IntReg("GevSCPDReg", reg::kStreamPacketDelay, "RW");
    x.IntReg("GevSCDAReg", reg::kStreamDestination, "RW");
    x.Register("MaskedIntReg", "GevSCPHostPortReg", reg::kStreamPort, 4, "RW",
               "    <LSB>31</LSB>\n    <MSB>16</MSB>\n    <Sign>Unsigned</Sign>\n"
               "    <Endianess>BigEndian</Endianess>\n");
    x.IntReg("GevSCSPReg", reg::kStreamSourcePort, "RO");
    x.IntReg("GevHeartbeatTimeoutReg", reg::kHeartbeatTimeout, "RW");
    x.IntReg("GevTimestampTickFrequencyReg", reg::kTickFrequencyHigh, "RO", 8);

    x.text += "</RegisterDescription>\n";
    return x.text;
}

}  // namespace veltcam::gige
