#include "platform/DriverChannel.h"

#include <windows.h>
// The setup API needs the types of windows.h.
#include <setupapi.h>

#include <cstring>

namespace veltcam::platform {
namespace {

// Interface details are fetched into a fixed work area; a path that needs more is
// one that the device table could not hold anyway.
constexpr DWORD kDetailBufferBytes = 1000;

class CWin32Operation final : public CIoOperation {
  public:
    CWin32Operation() { overlapped_.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr); }
    ~CWin32Operation() override {
        if (overlapped_.hEvent) CloseHandle(overlapped_.hEvent);
    }
    bool Valid() const { return overlapped_.hEvent != nullptr; }

    bool Wait(uint32_t ms) override {
        DWORD timeout = ms == kWaitForever ? INFINITE : ms;
        return WaitForSingleObject(overlapped_.hEvent, timeout) == WAIT_OBJECT_0;
    }

    bool Result(uint32_t* bytes) override {
        DWORD count = 0;
        BOOL ok = GetOverlappedResult(handle_, &overlapped_, &count, FALSE);
        if (bytes) *bytes = ok ? count : 0;
        return ok != FALSE;
    }

    OVERLAPPED* Prepare(HANDLE handle) {
        handle_ = handle;
        HANDLE event = overlapped_.hEvent;
        overlapped_ = OVERLAPPED{};
        overlapped_.hEvent = event;
        return &overlapped_;
    }

  private:
    OVERLAPPED overlapped_{};
    HANDLE handle_ = nullptr;
};

class CWin32DriverChannel final : public CDriverChannel {
  public:
    std::vector<std::string> ListInterfaces(const Guid& interfaceClass, int maxCount) override {
        std::vector<std::string> paths;
        GUID guid;
        static_assert(sizeof(guid) == sizeof(interfaceClass));
        std::memcpy(&guid, &interfaceClass, sizeof(guid));
        HDEVINFO set =
            SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return paths;
        alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) char work[kDetailBufferBytes];
        for (DWORD member = 0; member < static_cast<DWORD>(maxCount); ++member) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof(data);
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, member, &data)) continue;
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
            if (needed > sizeof(work)) continue;
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(work);
            std::memset(work, 0, sizeof(work));
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // 8 on x64
            if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(work), nullptr,
                                                  nullptr)) {
                continue;
            }
            work[sizeof(work) - 1] = '\0';
            paths.emplace_back(detail->DevicePath);
        }
        SetupDiDestroyDeviceInfoList(set);
        return paths;
    }

    DeviceHandle Open(const char* path, bool overlapped) override {
        HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
        return handle;
    }

    void Close(DeviceHandle handle) override {
        if (handle) CloseHandle(handle);
    }

    std::unique_ptr<CIoOperation> NewOperation() override {
        auto operation = std::make_unique<CWin32Operation>();
        if (!operation->Valid()) return nullptr;
        return operation;
    }

    bool Control(DeviceHandle handle, uint32_t code, const void* in, uint32_t inBytes, void* out,
                 uint32_t outBytes, uint32_t* bytes, CIoOperation* operation,
                 uint32_t* error) override {
        DWORD count = 0;
        OVERLAPPED* overlapped =
            operation ? static_cast<CWin32Operation*>(operation)->Prepare(handle) : nullptr;
        BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inBytes, out, outBytes,
                                  &count, overlapped);
        DWORD lastError = ok ? 0 : GetLastError();
        if (bytes) *bytes = ok ? count : 0;
        if (error) *error = lastError;
        return ok != FALSE;
    }

    CTimeSource& Time() override { return SystemTime(); }
    std::string SharedTableName() const override { return "D3A7-MemMap"; }
};

}  // namespace

std::unique_ptr<CDriverChannel> CreateSystemDriverChannel() {
    return std::make_unique<CWin32DriverChannel>();
}

}  // namespace veltcam::platform
