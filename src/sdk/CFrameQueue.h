// The queue of converted frames that applications pull with a time-out.
//
// The display thread puts every converted frame in; application threads take them
// out. A consumer that already waits when a frame is converted gets it straight
// into its own buffer: one copy per frame, as a callback buffer costs. Otherwise the
// frame is copied into one of the queue's buffers, all allocated when the queue is
// configured (never per frame), and copied out when taken. The display thread never
// waits for a consumer: when the queue is full it drops a frame instead (by policy),
// and every copy runs outside the queue's lock, on buffers that the other side does
// not touch meanwhile.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sdk/StreamRecords.h"

namespace veltcam {

class CFrameQueue {
  public:
    enum Policy { kOldestFirst = 0, kNewestOnly = 1 };
    static constexpr int kMaxDepth = 64;

    enum class TakeResult { kFrame, kTimeout, kEnded, kTooSmall };

    // Depth 0 frees everything; `frameBytes` 0 keeps the depth and allocates nothing
    // yet. False when the buffers cannot be allocated (the queue is then off).
    // Frames still queued are dropped and counted.
    bool Configure(int depth, Policy policy, size_t frameBytes);
    int Depth() const;
    Policy GetPolicy() const;
    size_t FrameBytes() const;

    // A capture mode starts: no frames, numbering from scratch, waiters wait.
    void Open();
    // The mode ended: waiters return kEnded with `code`. With `dropQueued`, frames
    // not yet taken are dropped (counted); without, they are still handed out first.
    void End(int code, bool dropQueued);

    // The display thread: a copy of `rows` rows of `rowBytes` bytes each.
    void Push(const uint8_t* pixels, int rows, int rowBytes, const StreamFrameInfo& info);

    // Takes the oldest queued frame into `buffer` (rows reversed unless `flip`).
    // kEnded sets `code`; kTooSmall leaves the frame queued.
    TakeResult Take(uint8_t* buffer, size_t size, int flip, uint32_t timeoutMs,
                    StreamFrameInfo* info, int* code);

    uint64_t Dropped() const;
    void ResetDropped();

  private:
    enum class SlotState { kFree, kFilling, kQueued, kReading };
    // A consumer waiting in Take with its buffer, for the display thread to fill.
    struct Waiter {
        uint8_t* buffer = nullptr;
        size_t size = 0;
        int flip = 0;
        enum class State { kWaiting, kFilling, kFilled } state = State::kWaiting;
        StreamFrameInfo info;
    };
    struct Slot {
        std::unique_ptr<uint8_t[]> pixels;
        SlotState state = SlotState::kFree;
        uint64_t order = 0;  // push order, oldest taken first
        int rows = 0;
        int rowBytes = 0;
        StreamFrameInfo info;
    };
    int FindOldestQueued() const;
    int QueuedCount() const;
    // The frame handed out next: its losses since the last one handed out. Under the lock.
    StreamFrameInfo HandOut(const StreamFrameInfo& info);
    // Copies `rows` rows, reversed unless `flip`.
    static void CopyRows(uint8_t* to, const uint8_t* from, int rows, size_t rowBytes, int flip);

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;       // depth + 1: one is always free for the producer
    std::vector<Waiter*> waiters_;  // consumers waiting for a frame, longest first
    int depth_ = 0;
    Policy policy_ = kOldestFirst;
    size_t frameBytes_ = 0;
    uint64_t nextOrder_ = 0;
    bool open_ = false;
    int endCode_ = 1;
    // Frame number of the last frame handed out in this mode; -1 before the first.
    int64_t lastTaken_ = -1;
    // Frames lost in transfer up to the last frame handed out in this mode.
    uint64_t lastTakenLostTotal_ = 0;
    uint64_t dropped_ = 0;
    int busy_ = 0;  // slots being filled or read outside the lock
};

}  // namespace veltcam
