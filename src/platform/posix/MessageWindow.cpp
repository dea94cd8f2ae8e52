#include "platform/posix/MessageWindow.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace veltcam::platform {
namespace {

constexpr size_t kDefaultCapacity = 10000;

class CMessageQueue {
public:
    explicit CMessageQueue(size_t capacity) : capacity_(capacity) {}

    bool Post(const QueuedMessage& message) {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || queue_.size() >= capacity_) return false;
            queue_.push_back(message);
        }
        ready_.notify_one();
        return true;
    }

    // Returns 1 with a message, 0 on time-out or when the queue was closed meanwhile.
    int Take(QueuedMessage& out, int timeoutMs) {
        std::unique_lock lock(mutex_);
        auto available = [&] { return closed_ || !queue_.empty(); };
        if (timeoutMs < 0) {
            ready_.wait(lock, available);
        } else if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
            return 0;
        }
        if (queue_.empty()) return 0;
        out = queue_.front();
        queue_.pop_front();
        return 1;
    }

    void Close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            queue_.clear();
        }
        ready_.notify_all();
    }

private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<QueuedMessage> queue_;
    bool closed_ = false;
};

// Windows are looked up by handle under one lock, so a post to a destroyed window
// finds nothing instead of touching freed memory. Readers hold a shared_ptr, so a
// window destroyed while a thread waits on it stays alive until that wait returns.
class CWindowTable {
public:
    WindowHandle Add(std::shared_ptr<CMessageQueue> queue) {
        std::lock_guard lock(mutex_);
        WindowHandle handle = queue.get();
        windows_[handle] = std::move(queue);
        return handle;
    }

    std::shared_ptr<CMessageQueue> Find(WindowHandle handle) {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(handle);
        return it == windows_.end() ? nullptr : it->second;
    }

    std::shared_ptr<CMessageQueue> Remove(WindowHandle handle) {
        std::lock_guard lock(mutex_);
        auto it = windows_.find(handle);
        if (it == windows_.end()) return nullptr;
        auto queue = std::move(it->second);
        windows_.erase(it);
        return queue;
    }

private:
    std::mutex mutex_;
    std::unordered_map<WindowHandle, std::shared_ptr<CMessageQueue>> windows_;
};

CWindowTable& Windows() {
    // Never destroyed: SDK threads may still post while the process exits.
    static auto* table = new CWindowTable;
    return *table;
}

// The calling thread's own queue, the target of posts to a null window.
CMessageQueue& ThreadQueue() {
    thread_local CMessageQueue queue(kDefaultCapacity);
    return queue;
}

}  // namespace

WindowHandle CreateMessageWindow(size_t capacity) {
    return Windows().Add(std::make_shared<CMessageQueue>(capacity == 0 ? kDefaultCapacity : capacity));
}

bool DestroyMessageWindow(WindowHandle window) {
    auto queue = Windows().Remove(window);
    if (!queue) return false;
    queue->Close();
    return true;
}

int TakeWindowMessage(WindowHandle window, QueuedMessage& out, int timeoutMs) {
    if (window == nullptr) return ThreadQueue().Take(out, timeoutMs);
    auto queue = Windows().Find(window);
    if (!queue) return -1;
    return queue->Take(out, timeoutMs);
}

bool PostWindowMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    QueuedMessage item{window, message, wParam, lParam};
    if (window == nullptr) return ThreadQueue().Post(item);
    auto queue = Windows().Find(window);
    return queue && queue->Post(item);
}

}  // namespace veltcam::platform

namespace veltcam::platform {
namespace {

// Windows registered for device arrival and removal, as RegisterDeviceNotificationA
// registers them on Windows; the USB channel's hotplug events are posted to each.
struct ArrivalRegistrations {
    std::mutex mutex;
    std::unordered_map<void*, WindowHandle> windows;
    uintptr_t next = 1;
};
ArrivalRegistrations& Arrivals() {
    static ArrivalRegistrations registrations;
    return registrations;
}

}  // namespace

bool RegisterDeviceArrival(WindowHandle window, const Guid&, void*& registration) {
    ArrivalRegistrations& arrivals = Arrivals();
    std::lock_guard lock(arrivals.mutex);
    registration = reinterpret_cast<void*>(arrivals.next++);
    arrivals.windows[registration] = window;
    return true;
}

void UnregisterDeviceArrival(void* registration) {
    ArrivalRegistrations& arrivals = Arrivals();
    std::lock_guard lock(arrivals.mutex);
    arrivals.windows.erase(registration);
}

void PostDeviceChange(uint32_t message, uintptr_t event) {
    std::vector<WindowHandle> windows;
    {
        ArrivalRegistrations& arrivals = Arrivals();
        std::lock_guard lock(arrivals.mutex);
        for (const auto& [registration, window] : arrivals.windows) windows.push_back(window);
    }
    // A null window is the registering thread's own queue, which a thread of the
    // channel cannot reach: only real message windows hear of devices.
    for (WindowHandle window : windows) {
        if (window) PostWindowMessage(window, message, event, 0);
    }
}

}  // namespace veltcam::platform
