// The still formats of VeltCam_SaveImage by name and by file extension.
#pragma once

#include <string>
#include <vector>

namespace veltcam::tool {

// bmp, raw, jpeg100, jpeg70, jpeg20, png, tiff.
std::vector<std::string> ImageFormatNames();
// The VeltCamImageFormat of a name; throws CUsageError.
int ImageFormatFromName(const std::string& name);
// The format a file name's extension implies (.jpg means jpeg70); throws CUsageError.
int ImageFormatFromFileName(const std::string& fileName);

}  // namespace veltcam::tool
