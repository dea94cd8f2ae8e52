#include "platform/DriverChannel.h"

#include <windows.h>
// The setup API and the device notifications need the types of windows.h.
#include <dbt.h>
#include <setupapi.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

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

// Device notifications for open handles. Safe removal asks everyone with a handle
// registered for notifications (DBT_DEVTYP_HANDLE) whether the device may go; a
// handle that stays open vetoes it. The notifications come to a message-only window
// on a thread of its own, so that they arrive whatever the application's threads do.
class CRemovalWatcher {
  public:
    ~CRemovalWatcher() {
        if (!thread_.joinable()) return;
        PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }

    void* Watch(HANDLE handle, std::function<void(bool)> onRemoval) {
        if (!Start()) return nullptr;
        DEV_BROADCAST_HANDLE filter{};
        filter.dbch_size = sizeof(filter);
        filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
        filter.dbch_handle = handle;
        HDEVNOTIFY notify =
            RegisterDeviceNotificationA(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (notify == nullptr) return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        watches_[notify] = std::move(onRemoval);
        return notify;
    }

    void Unwatch(void* watch) {
        if (watch == nullptr) return;
        auto notify = static_cast<HDEVNOTIFY>(watch);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            watches_.erase(notify);
            // A notice under way may still use its owner, which goes once this returns:
            // wait for it, unless this is that notice closing its own handle.
            if (std::this_thread::get_id() != thread_.get_id()) {
                idle_.wait(lock, [&] { return calling_ != notify; });
            }
        }
        UnregisterDeviceNotification(notify);
    }

  private:
    bool Start() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { Run(); });
            started_.wait(lock, [&] { return ready_; });
        }
        return window_ != nullptr;
    }

    void Run() {
        static const char kClass[] = "VeltCamRemovalWatch";
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = &CRemovalWatcher::WindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClass;
        RegisterClassExA(&windowClass);  // fails harmlessly when already registered
        HWND window = CreateWindowExA(0, kClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      windowClass.hInstance, this);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window_ = window;
            ready_ = true;
        }
        started_.notify_all();
        if (window == nullptr) return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<CRemovalWatcher*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (message == WM_DEVICECHANGE && self != nullptr && lParam != 0) {
            const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
            if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
                const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam);
                switch (wParam) {
                    case DBT_DEVICEQUERYREMOVE:
                    case DBT_DEVICEREMOVEPENDING:
                    case DBT_DEVICEREMOVECOMPLETE:
                        self->Notify(broadcast->dbch_hdevnotify, true);
                        break;
                    case DBT_DEVICEQUERYREMOVEFAILED:
                        self->Notify(broadcast->dbch_hdevnotify, false);
                        break;
                    default:
                        break;
                }
            }
            return TRUE;  // never a veto of our own: the handle is closed instead
        }
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void Notify(HDEVNOTIFY notify, bool removing) {
        std::function<void(bool)> onRemoval;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = watches_.find(notify);
            if (it == watches_.end()) return;
            onRemoval = it->second;
            calling_ = notify;
        }
        // Outside the lock: the callback closes the handle and unwatches it.
        onRemoval(removing);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calling_ = nullptr;
        }
        idle_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable started_;
    std::condition_variable idle_;   // calling_ went back to null
    HDEVNOTIFY calling_ = nullptr;  // the registration whose notice is being handled
    bool ready_ = false;
    HWND window_ = nullptr;
    std::thread thread_;
    std::map<HDEVNOTIFY, std::function<void(bool)>> watches_;
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

    void* WatchRemoval(DeviceHandle handle, std::function<void(bool)> onRemoval) override {
        if (handle == nullptr) return nullptr;
        return removals_.Watch(static_cast<HANDLE>(handle), std::move(onRemoval));
    }
    void UnwatchRemoval(void* watch) override { removals_.Unwatch(watch); }

    CTimeSource& Time() override { return SystemTime(); }
    std::string SharedTableName() const override { return "D3A7-MemMap"; }

  private:
    CRemovalWatcher removals_;
};

}  // namespace

std::unique_ptr<CDriverChannel> CreateSystemDriverChannel() {
    return std::make_unique<CWin32DriverChannel>();
}

}  // namespace veltcam::platform
