// The configuration file: a flat list of 8-byte records (two little-endian 32-bit
// integers each) that the application can hand to the SDK object. This camera keeps
// the list for the application and reads nothing from it.
#include "files/ConfigFile.h"
#include "sdk/CVeltCam.h"
#include "sdk/WidePath.h"

namespace veltcam {

int CVeltCam::LoadConfigFile(const char* path) {
    // The records are collected first and swapped in under the lock, so a read
    // error leaves the previous list as it was and the lock is held only briefly.
    std::vector<ConfigRecord> records;
    if (!ReadConfigFile(path, records)) return 0;
    std::lock_guard<std::mutex> lock(maskLock_);
    configList_.swap(records);
    return 1;
}

int CVeltCam::LoadConfigFileW(const wchar_t* path) {
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return LoadConfigFile(narrow);
}

std::vector<std::array<int32_t, 2>> CVeltCam::ConfigList() {
    std::lock_guard<std::mutex> lock(maskLock_);
    return configList_;
}

}  // namespace veltcam
