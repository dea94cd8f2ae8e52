// The camera's GenICam description: the standard feature names a client shows
// and sets, each mapped onto a register of device memory.
#pragma once

#include <cstdint>
#include <string>

namespace veltcam::gige {

struct XmlOptions {
    std::string vendor = "VeltCam";
    std::string model = "M40USB3R7";  // letters and digits only: it names the file's model
    uint32_t maxPacketSize = 9000;
};

std::string BuildGenICamXml(const XmlOptions& options);

}  // namespace veltcam::gige
