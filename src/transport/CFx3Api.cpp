#include "transport/CFx3Api.h"

#include <cctype>

namespace veltcam {
namespace {

bool ParseHex4(const std::string& text, size_t at, uint16_t* value) {
    uint16_t v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = static_cast<uint16_t>(v * 16 + digit);
    }
    *value = v;
    return true;
}

bool MatchesNoCase(const std::string& text, size_t at, const char* word) {
    for (size_t i = 0; word[i] != '\0'; ++i) {
        if (at + i >= text.size()) return false;
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i]) return false;
    }
    return true;
}

}  // namespace

bool ParseDevicePath(const std::string& path, uint16_t* vendorId, uint16_t* productId) {
    // \\?\usb#vid_XXXX&pid_XXXX#...: the ids are the four digits at 12 and at 21.
    if (path.size() < 25 || path.size() > CDeviceTable::kMaxPathChars) return false;
    if (!MatchesNoCase(path, 8, "vid_") || path[16] != '&' || !MatchesNoCase(path, 17, "pid_")) {
        return false;
    }
    return ParseHex4(path, 12, vendorId) && ParseHex4(path, 21, productId);
}

CFx3Api::CFx3Api(std::shared_ptr<platform::CDriverChannel> channel,
                 const platform::Guid& interfaceClass)
    : channel_(std::move(channel)), interfaceClass_(interfaceClass) {
    table_ = std::make_unique<CDeviceTable>(channel_->SharedTableName());
}

CFx3Api::~CFx3Api() = default;

int CFx3Api::EnumerateDevices() {
    for (const std::string& path : channel_->ListInterfaces(interfaceClass_, kMaxDevices)) {
        uint16_t vendorId = 0, productId = 0;
        if (!ParseDevicePath(path, &vendorId, &productId)) continue;
        platform::DeviceHandle probe = channel_->Open(path.c_str(), true);
        if (probe == nullptr) continue;
        channel_->Close(probe);
        table_->Register(vendorId, productId, path);
    }
    return table_->Count();
}

bool CFx3Api::IsDevicePresent(int tableIndex) {
    platform::DeviceHandle handle = OpenDevicePath(tableIndex, false);
    if (handle == nullptr) return false;
    channel_->Close(handle);
    return true;
}

platform::DeviceHandle CFx3Api::OpenDevicePath(int tableIndex, bool overlapped) {
    DeviceRecord record;
    if (!table_->Record(tableIndex, &record)) return nullptr;
    return channel_->Open(record.path, overlapped);
}

}  // namespace veltcam
