// The settings store is the registry of the current user: a thin pass-through.
#include "platform/SettingsStore.h"

#include <windows.h>

#include <cstdlib>
#include <new>

namespace veltcam::platform {
namespace {

constexpr char kDefaultRoot[] = "Software\\Norvik\\VeltCamM403R7Sdk";

std::string FullPath(std::string_view path) {
    std::string full = SettingsRootKey();
    if (!path.empty()) {
        full += '\\';
        full += path;
    }
    return full;
}

class CRegistryKey final : public CSettingsKey {
  public:
    explicit CRegistryKey(HKEY key) : key_(key) {}
    ~CRegistryKey() override { RegCloseKey(key_); }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    std::optional<uint32_t> ReadDword(const char* name) const override {
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof value;
        LONG rc =
            RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return std::nullopt;
        return static_cast<uint32_t>(value);
    }

    std::optional<Binary8> ReadBinary8(const char* name) const override {
        DWORD type = 0;
        Binary8 bytes{};
        DWORD size = static_cast<DWORD>(bytes.size());
        LONG rc = RegQueryValueExA(key_, name, nullptr, &type, bytes.data(), &size);
        if (rc != ERROR_SUCCESS || type != REG_BINARY || size != bytes.size()) return std::nullopt;
        return bytes;
    }

    bool WriteDword(const char* name, uint32_t value) override {
        DWORD data = value;
        return RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                              sizeof data) == ERROR_SUCCESS;
    }

    bool WriteBinary8(const char* name, const Binary8& bytes) override {
        return RegSetValueExA(key_, name, 0, REG_BINARY, bytes.data(),
                              static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
    }

    // The registry makes every write visible at once and flushes lazily by itself.
    bool Commit() override { return true; }

  private:
    HKEY key_;
};

// Takes ownership of an open key; closes it if there is no memory for the wrapper.
std::unique_ptr<CSettingsKey> Wrap(HKEY key) {
    std::unique_ptr<CSettingsKey> wrapped(new (std::nothrow) CRegistryKey(key));
    if (!wrapped) RegCloseKey(key);
    return wrapped;
}

}  // namespace

std::string SettingsRootKey() {
    const char* root = std::getenv("VELTCAM_SETTINGS_ROOT");
    return (root != nullptr && *root != '\0') ? std::string(root) : std::string(kDefaultRoot);
}

std::unique_ptr<CSettingsKey> OpenSettingsKey(std::string_view path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, FullPath(path).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    return Wrap(key);
}

std::unique_ptr<CSettingsKey> CreateSettingsKey(std::string_view path) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, FullPath(path).c_str(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return Wrap(key);
}

}  // namespace veltcam::platform
