#include "sdk/CFrameQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace veltcam {

bool CFrameQueue::Configure(int depth, Policy policy, size_t frameBytes) {
    std::unique_lock<std::mutex> lock(lock_);
    // Buffers being copied outside the lock stay until their copy is done.
    changed_.wait(lock, [this] { return busy_ == 0; });
    dropped_ += static_cast<uint64_t>(QueuedCount());
    slots_.clear();
    depth_ = 0;
    frameBytes_ = 0;
    policy_ = policy;
    bool ok = true;
    // Without a frame size yet, the buffers come when the capture mode starts.
    if (depth > 0 && frameBytes == 0) depth_ = depth;
    if (depth > 0 && frameBytes > 0) {
        try {
            std::vector<Slot> slots(static_cast<size_t>(depth) + 1);
            for (Slot& slot : slots) slot.pixels.reset(new uint8_t[frameBytes]);
            slots_ = std::move(slots);
            depth_ = depth;
            frameBytes_ = frameBytes;
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    changed_.notify_all();
    return ok;
}

int CFrameQueue::Depth() const {
    std::lock_guard<std::mutex> lock(lock_);
    return depth_;
}

CFrameQueue::Policy CFrameQueue::GetPolicy() const {
    std::lock_guard<std::mutex> lock(lock_);
    return policy_;
}

size_t CFrameQueue::FrameBytes() const {
    std::lock_guard<std::mutex> lock(lock_);
    return frameBytes_;
}

void CFrameQueue::Open() {
    std::lock_guard<std::mutex> lock(lock_);
    for (Slot& slot : slots_) {
        if (slot.state == SlotState::kQueued) {
            slot.state = SlotState::kFree;
            ++dropped_;
        }
    }
    open_ = true;
    endCode_ = 1;
    lastTaken_ = -1;
    lastTakenLostTotal_ = 0;
}

void CFrameQueue::End(int code, bool dropQueued) {
    std::lock_guard<std::mutex> lock(lock_);
    if (!open_ && !dropQueued) return;
    open_ = false;
    endCode_ = code;
    if (dropQueued) {
        for (Slot& slot : slots_) {
            if (slot.state == SlotState::kQueued) {
                slot.state = SlotState::kFree;
                ++dropped_;
            }
        }
    }
    changed_.notify_all();
}

int CFrameQueue::FindOldestQueued() const {
    int oldest = -1;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].state != SlotState::kQueued) continue;
        if (oldest < 0 || slots_[i].order < slots_[static_cast<size_t>(oldest)].order) {
            oldest = static_cast<int>(i);
        }
    }
    return oldest;
}

int CFrameQueue::QueuedCount() const {
    int count = 0;
    for (const Slot& slot : slots_) count += slot.state == SlotState::kQueued;
    return count;
}

StreamFrameInfo CFrameQueue::HandOut(const StreamFrameInfo& info) {
    StreamFrameInfo taken = info;
    const int64_t number = static_cast<int64_t>(taken.frameNumber);
    taken.droppedBefore = static_cast<uint64_t>(number > lastTaken_ ? number - lastTaken_ - 1 : 0);
    lastTaken_ = number;
    // Frames the queue dropped carried their own transfer losses: the caller hears of
    // every loss since the last frame it received.
    taken.lostInTransfer = taken.lostInTransferTotal - lastTakenLostTotal_;
    lastTakenLostTotal_ = taken.lostInTransferTotal;
    return taken;
}

void CFrameQueue::CopyRows(uint8_t* to, const uint8_t* from, int rows, size_t rowBytes, int flip) {
    if (flip != 0) {
        std::memcpy(to, from, rowBytes * static_cast<size_t>(rows));
        return;
    }
    for (int r = 0; r < rows; ++r) {
        std::memcpy(to + static_cast<size_t>(r) * rowBytes,
                    from + static_cast<size_t>(rows - 1 - r) * rowBytes, rowBytes);
    }
}

void CFrameQueue::Push(const uint8_t* pixels, int rows, int rowBytes, const StreamFrameInfo& info) {
    const size_t bytes = static_cast<size_t>(rows) * static_cast<size_t>(rowBytes);
    std::unique_lock<std::mutex> lock(lock_);
    if (depth_ == 0) return;
    // Converted after the mode was told to stop: nobody can take it any more.
    if (!open_ || bytes > frameBytes_ || pixels == nullptr) {
        ++dropped_;
        return;
    }
    // A consumer that already waits, with no older frame queued, gets this one
    // straight into its buffer: the only copy the frame costs. It stays in its wait
    // until the copy is done.
    if (QueuedCount() == 0) {
        for (size_t i = 0; i < waiters_.size(); ++i) {
            Waiter* waiter = waiters_[i];
            if (waiter->size < bytes) continue;
            waiters_.erase(waiters_.begin() + static_cast<std::ptrdiff_t>(i));
            waiter->state = Waiter::State::kFilling;
            waiter->info = HandOut(info);
            lock.unlock();
            CopyRows(waiter->buffer, pixels, rows, static_cast<size_t>(rowBytes), waiter->flip);
            lock.lock();
            waiter->state = Waiter::State::kFilled;
            changed_.notify_all();
            return;
        }
    }
    if (policy_ == kNewestOnly) {
        for (Slot& s : slots_) {
            if (s.state == SlotState::kQueued) {
                s.state = SlotState::kFree;
                ++dropped_;
            }
        }
    } else if (QueuedCount() >= depth_) {
        slots_[static_cast<size_t>(FindOldestQueued())].state = SlotState::kFree;
        ++dropped_;
    }
    Slot* slot = nullptr;
    for (Slot& s : slots_) {
        if (s.state == SlotState::kFree) {
            slot = &s;
            break;
        }
    }
    // Every other buffer is being read by a consumer: this frame is the one lost.
    if (slot == nullptr) {
        ++dropped_;
        return;
    }
    slot->state = SlotState::kFilling;
    ++busy_;
    lock.unlock();
    std::memcpy(slot->pixels.get(), pixels, bytes);
    lock.lock();
    --busy_;
    slot->rows = rows;
    slot->rowBytes = rowBytes;
    slot->info = info;
    slot->order = nextOrder_++;
    // The mode ended while the frame was copied in: nobody will take it.
    if (open_) {
        slot->state = SlotState::kQueued;
    } else {
        slot->state = SlotState::kFree;
        ++dropped_;
    }
    changed_.notify_all();
}

CFrameQueue::TakeResult CFrameQueue::Take(uint8_t* buffer, size_t size, int flip,
                                          uint32_t timeoutMs, StreamFrameInfo* info, int* code) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(lock_);
    Waiter self;
    self.buffer = buffer;
    self.size = size;
    self.flip = flip;
    bool listed = false;
    // Every way out leaves the list without this waiter; one the display thread is
    // filling leaves only once its buffer is whole.
    auto unlist = [&] {
        if (!listed) return;
        const auto it = std::find(waiters_.begin(), waiters_.end(), &self);
        if (it != waiters_.end()) waiters_.erase(it);
        listed = false;
    };
    Slot* slot = nullptr;
    for (;;) {
        if (self.state == Waiter::State::kFilling) {
            changed_.wait(lock, [&] { return self.state == Waiter::State::kFilled; });
        }
        if (self.state == Waiter::State::kFilled) {
            if (info != nullptr) *info = self.info;
            return TakeResult::kFrame;
        }
        if (depth_ == 0) {
            unlist();
            *code = 1;
            return TakeResult::kEnded;
        }
        const int oldest = FindOldestQueued();
        if (oldest >= 0) {
            unlist();
            slot = &slots_[static_cast<size_t>(oldest)];
            break;
        }
        if (!open_) {
            unlist();
            *code = endCode_;
            return TakeResult::kEnded;
        }
        if (!listed) {
            waiters_.push_back(&self);
            listed = true;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout &&
            self.state == Waiter::State::kWaiting && FindOldestQueued() < 0 && open_ &&
            depth_ != 0) {
            unlist();
            return TakeResult::kTimeout;
        }
    }
    const size_t rowBytes = static_cast<size_t>(slot->rowBytes);
    const int rows = slot->rows;
    if (size < rowBytes * static_cast<size_t>(rows)) return TakeResult::kTooSmall;
    slot->state = SlotState::kReading;
    ++busy_;
    const StreamFrameInfo taken = HandOut(slot->info);
    lock.unlock();
    CopyRows(buffer, slot->pixels.get(), rows, rowBytes, flip);
    if (info != nullptr) *info = taken;
    lock.lock();
    slot->state = SlotState::kFree;
    --busy_;
    changed_.notify_all();
    return TakeResult::kFrame;
}

uint64_t CFrameQueue::Dropped() const {
    std::lock_guard<std::mutex> lock(lock_);
    return dropped_;
}

void CFrameQueue::ResetDropped() {
    std::lock_guard<std::mutex> lock(lock_);
    dropped_ = 0;
}

}  // namespace veltcam
