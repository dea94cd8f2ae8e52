// The transfer thread and frame ring of the camera core, and the readout of frames
// to the caller.
#include <condition_variable>
#include <cstring>
#include <new>
#include <thread>

#include "core/CVeltCamD3A7Base.h"
#include "platform/Clock.h"

namespace veltcam {
namespace {

constexpr uint16_t kFirmwareWithPipeReset = 0x1100;
constexpr uint32_t kThreadWaitMs = 3000;
constexpr uint32_t kStopSettleMs = 100;
constexpr uint32_t kSingleFrameTimeoutMs = 3000;
constexpr uint32_t kSingleFrameBudgetMs = 10000;
constexpr int kSingleFrameRetries = 10;
constexpr uint8_t kFpgaFrameCounter = 8;

// Copies one row with its pixels in reverse order, eight bytes at a time where it can.
void ReverseRow8(uint8_t* destination, const uint8_t* source, int pixels) {
    int i = 0;
    for (; i + 8 <= pixels; i += 8) {
        uint64_t block;
        std::memcpy(&block, source + pixels - i - 8, 8);
        block = __builtin_bswap64(block);
        std::memcpy(destination + i, &block, 8);
    }
    for (; i < pixels; ++i) destination[i] = source[pixels - 1 - i];
}

void ReverseRow16(uint8_t* destination, const uint8_t* source, int pixels) {
    int i = 0;
    for (; i + 4 <= pixels; i += 4) {
        uint64_t block;
        std::memcpy(&block, source + 2 * (pixels - i - 4), 8);
        // Reverse the four 16-bit samples, keeping each sample's byte order.
        block = (block >> 32) | (block << 32);
        block = ((block & 0xFFFF0000FFFF0000ull) >> 16) | ((block & 0x0000FFFF0000FFFFull) << 16);
        std::memcpy(destination + 2 * i, &block, 8);
    }
    for (; i < pixels; ++i) std::memcpy(destination + 2 * i, source + 2 * (pixels - 1 - i), 2);
}

}  // namespace

struct CVeltCamD3A7Base::ThreadExit {
    std::mutex mutex;
    std::condition_variable changed;
    bool exited = false;
};

// ---------------------------------------------------------------------------
// Events and thread bookkeeping

std::shared_ptr<CAutoResetEvent> CVeltCamD3A7Base::NewFrameEvent() {
    std::lock_guard<std::mutex> lock(eventsLock_);
    return newFrameEvent_;
}

void CVeltCamD3A7Base::EnsureNewFrameEvent() {
    std::lock_guard<std::mutex> lock(eventsLock_);
    if (!newFrameEvent_) newFrameEvent_ = std::make_shared<CAutoResetEvent>();
}

bool CVeltCamD3A7Base::ThreadEndSignalled() {
    std::lock_guard<std::mutex> lock(eventsLock_);
    return threadEndEvent_ && threadEndEvent_->IsSet();
}

bool CVeltCamD3A7Base::WaitThreadExit(const std::shared_ptr<ThreadExit>& exit, uint32_t ms) {
    if (!exit) return true;
    std::unique_lock<std::mutex> lock(exit->mutex);
    return exit->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                  [&] { return exit->exited; });
}

void CVeltCamD3A7Base::JoinTransferThreads() {
    for (auto* pair : {&outlived_, &thread_}) {
        std::thread& thread = *pair;
        std::shared_ptr<ThreadExit>& exit = pair == &outlived_ ? outlivedExit_ : threadExit_;
        if (!thread.joinable()) continue;
        // The thread may sit in a bulk read: abort it until the thread sees that it
        // is no longer wanted.
        running_ = 0;
        while (!WaitThreadExit(exit, kStopSettleMs)) {
            if (controller_) controller_->CancelReads();
        }
        thread.join();
        exit.reset();
    }
}

// ---------------------------------------------------------------------------
// Start and stop

int CVeltCamD3A7Base::SetAcquisitionMode(int mode) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!controller_) return 0;
    if (mode != acquisitionMode_.load()) {
        StopTransfer(0);
        EnsureNewFrameEvent();
        if (mode == 2) {
            // The ring index is the producer's: a thread that outlived the stop ends first.
            JoinTransferThreads();
            writeIndex_ = readMark_.load();
        }
    }
    acquisitionMode_ = mode;
    return 1;
}

int CVeltCamD3A7Base::StartTransfer(int mode) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (running_.load()) {
        std::shared_ptr<CAutoResetEvent> end;
        {
            std::lock_guard<std::mutex> events(eventsLock_);
            end = threadEndEvent_;
        }
        platform::CTimerResolution resolution;
        if (!end || !end->Wait(5)) StopTransfer(1);
    }
    EnsureNewFrameEvent();
    if (!SetAcquisitionMode(mode)) return 0;
    if (buffersStale_.load()) AllocateFrameBuffers();
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        threadEndEvent_.reset();
    }
    if (thread_.joinable() && WaitThreadExit(threadExit_, kThreadWaitMs)) {
        thread_.join();
        threadExit_.reset();
    }
    // Whatever still runs is joined now: there is only ever one producer.
    JoinTransferThreads();

    // A failure of an earlier thread is history: a caller waiting right after this
    // start must not hear of it.
    transferFailed_ = 0;
    if (controller_) controller_->AllowReads();
    // Frames stored before this start are history too. Without this, a single frame
    // that lands exactly a ring's length after the last read would leave the write
    // index on the read mark and WaitFrame would report no new frame.
    readMark_ = writeIndex_.load();
    running_ = 1;
    std::shared_ptr<CAutoResetEvent> end = std::make_shared<CAutoResetEvent>();
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        threadEndEvent_ = end;
    }
    auto exit = std::make_shared<ThreadExit>();
    threadExit_ = exit;
    thread_ = std::thread([this, exit] {
        // The trigger poll sleeps 1 ms between reads of the FPGA's counter; at the
        // default 15.6 ms timer granularity of Windows triggers closer than that would
        // merge into one frame request.
        platform::CTimerResolution resolution;
        platform::RaiseCurrentThreadToTimeCritical();
        try {
            TransferLoop();
        } catch (...) {
            // Nothing may escape into the application's process: the transfer ends
            // as a failed one, which the capture loops report like any other.
            EndTransferAfterFault();
        }
        std::lock_guard<std::mutex> lock(exit->mutex);
        exit->exited = true;
        exit->changed.notify_all();
    });
    if (sensor_ && !sensor_->IsOutputRunning()) sensor_->OnTransferStart();
    return 1;
}

void CVeltCamD3A7Base::EndTransferAfterFault() {
    transferFailed_ = 1;
    if (controller_) controller_->CloseStreamHandle();
    std::shared_ptr<CAutoResetEvent> newFrame, end;
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        newFrame = newFrameEvent_;
        end = threadEndEvent_;
    }
    if (end) end->Set();
    if (newFrame) newFrame->Set();
    running_ = 0;
}

int CVeltCamD3A7Base::StopTransfer(int wait) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (sensor_) sensor_->OnTransferStop();
    if (running_.exchange(0)) {
        // The thread may wait seconds for its next frame (a low frame rate, a long
        // exposure): end that read now, as an unplugged camera would, instead of
        // waiting out the frame.
        if (controller_) controller_->CancelReads();
        if (wait) {
            Time().SleepMs(kStopSettleMs);
            // Waits until the thread has ended, releasing it from any read it waits in.
            JoinTransferThreads();
        }
    }
    if (thread_.joinable()) {
        if (WaitThreadExit(threadExit_, kThreadWaitMs)) {
            thread_.join();
            threadExit_.reset();
        } else {
            // Still in a read: it ends by itself; joined before anything touches the ring.
            if (outlived_.joinable()) JoinTransferThreads();
            outlived_ = std::move(thread_);
            outlivedExit_ = std::move(threadExit_);
        }
    }
    Time().SleepMs(1);
    std::shared_ptr<CAutoResetEvent> newFrame;
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        threadEndEvent_.reset();
        newFrame = std::move(newFrameEvent_);
    }
    if (newFrame) newFrame->Set();  // a waiter wakes up
    ResetStream();
    Time().SleepMs(5);
    acquisitionMode_ = 0;
    return 1;
}

int CVeltCamD3A7Base::ResetStream() {
    if (!controller_) return 0;
    const uint16_t version = static_cast<uint16_t>(infoBlock_[24] | (infoBlock_[25] << 8));
    if (version >= kFirmwareWithPipeReset) {
        // A thread that outlived StopTransfer(0) may still wait in a read on the pipe:
        // the USB stack resets only an idle pipe, so the read is aborted first.
        controller_->AbortStream();
        controller_->ResetPipe(kEndpointIn);
    }
    controller_->StopStream();
    return 1;
}

int CVeltCamD3A7Base::SetFrameTimeout(uint32_t ms) {
    frameTimeoutMs_ = ms;
    return 1;
}

int CVeltCamD3A7Base::WaitFrame(uint32_t ms) {
    if (transferFailed_.load()) return 1;
    std::shared_ptr<CAutoResetEvent> event = NewFrameEvent();
    if (!event || !event->Wait(ms)) return 2;
    // The thread also sets the event when it gives up: a waiter woken by that must
    // hear of the failure, not of a frame.
    if (transferFailed_.load()) return 1;
    return writeIndex_.load() != readMark_.load() ? 3 : 2;
}

// ---------------------------------------------------------------------------
// The transfer thread

bool CVeltCamD3A7Base::PayloadFitsFrame(const FrameDescriptor& descriptor) {
    // A header that declares less than a whole frame (stale FIFO data read as a header
    // after an abort, a glitched length) would leave the previous frame's tail in the
    // buffer; more than the buffer holds cannot be read at all. Either way the frame
    // does not count, and the read recovers like any failed one.
    const uint32_t length = GetLe32(descriptor.header + frame_header::kPayloadLength);
    if (length >= static_cast<uint32_t>(frameSize_) && length <= descriptor.capacity) return true;
    ++framesRejected_;
    return false;
}

bool CVeltCamD3A7Base::RenewWorkBufferIfWritten() {
    if (!controller_ || !controller_->KeepWhileDriverWrites(workBuffer_, workBufferSize_)) {
        return workBuffer_ != nullptr;
    }
    workBuffer_.reset(new (std::nothrow) uint8_t[workBufferSize_]);
    return workBuffer_ != nullptr;
}

void CVeltCamD3A7Base::TransferLoop() {
    std::shared_ptr<CAutoResetEvent> newFrame, end;
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        newFrame = newFrameEvent_;
        end = threadEndEvent_;
    }
    CVeltCy3Cam* controller = controller_.get();
    auto finish = [&] {
        if (controller) controller->CloseStreamHandle();
        if (end) end->Set();
        if (transferFailed_.load() && newFrame) newFrame->Set();
        running_ = 0;
    };
    // A transfer that cannot even begin is a failed one, so that a waiter hears of it
    // instead of timing out for ever.
    if (!controller || !workBuffer_) {
        transferFailed_ = 1;
        finish();
        return;
    }
    FrameDescriptor descriptor;
    descriptor.destination = workBuffer_.get();
    descriptor.capacity = static_cast<uint32_t>(workBufferSize_);
    transferFailed_ = 0;
    if (!controller->EnsureStreamHandle()) {
        transferFailed_ = 1;
        finish();
        return;
    }
    int failures = 0;
    while (running_.load()) {
        const uint32_t timeout = frameTimeoutMs_.load();
        const int mode = acquisitionMode_.load();
        bool ok = true;
        if (operatingMode_.load() == 1) {
            // Hardware trigger: ask for a frame only when the FPGA has counted a trigger.
            uint8_t count = 0;
            if (!controller->ReadFpgaRegister(kFpgaFrameCounter, &count)) {
                ok = false;  // a camera that stops answering must not keep us polling
            } else if (count == static_cast<uint8_t>(lastFrameCounter_.load())) {
                Time().SleepMs(1);
                continue;
            } else {
                lastFrameCounter_ = count;
            }
        }
        if (ok && !controller->ReadFrameHeader(&descriptor)) {
            // A read ended by a stop is no failure of the camera's.
            if (!running_.load()) break;
            ok = false;
            ++headerFailures_;
        }
        if (ok) {
            const int index = writeIndex_.load();
            // The reader may still be copying this buffer out (it was the newest a whole
            // ring ago): wait for it rather than change what it reads.
            WaitUntilUnpinned(index);
            const uint8_t* h = descriptor.header;
            bufferWords_[index][0] = static_cast<int32_t>(GetLe32(h + frame_header::kWordA));
            bufferWords_[index][1] = static_cast<int32_t>(GetLe32(h + frame_header::kFrameCounter));
            bufferWords_[index][2] = static_cast<int32_t>(GetLe32(h + frame_header::kWordC));
            bufferWords_[index][3] = static_cast<int32_t>(GetLe32(h + frame_header::kWordD));
            if (mode == 3) {
                lastFrameCounter_ = static_cast<int32_t>(descriptor.frameCounter);
                break;
            }
            if (mode != 2) lastFrameCounter_ = static_cast<int32_t>(descriptor.frameCounter);
            ok = PayloadFitsFrame(descriptor) && controller->ReadFramePayload(&descriptor, timeout);
            if (!ok && !running_.load()) break;
            if (!ok) ++payloadFailures_;
            if (ok) {
                const uint64_t completedNs = platform::MonotonicNs();
                failures = 0;
                transferFailed_ = 0;
                WaitUntilUnpinned(index);
                std::memcpy(frameBuffers_[index].get(), workBuffer_.get(),
                            static_cast<size_t>(frameSize_));
                bufferCounter_[index] = lastFrameCounter_.load();
                bufferSequence_[index] = framesStored_.load();
                bufferTimestampNs_[index] = completedNs;
                writeIndex_ = (index + 1) % ringSize_;
                ++framesStored_;
                if (newFrame) newFrame->Set();
                if (mode == 1 || mode == 2) break;
                continue;
            }
        }
        // A failed header or payload: give the camera a fresh start, up to five times.
        // A camera that is no longer there was unplugged: remember it, so that selecting
        // it again after its return opens it anew.
        if (!controller->IsDevicePresent(controller->SelectedIndex())) deviceLost_ = true;
        controller->CloseStreamHandle();
        // The next frame must not land where a written-off read may still write.
        if (!RenewWorkBufferIfWritten()) {
            transferFailed_ = 1;
            if (newFrame) newFrame->Set();
            break;
        }
        descriptor.destination = workBuffer_.get();
        if (++failures >= kFailuresBeforeGivingUp) {
            ++giveUps_;
            transferFailed_ = 1;
            if (newFrame) newFrame->Set();
            break;
        }
        ++retries_;
        controller->ResetPipe(kEndpointIn);
        if (sensor_) sensor_->RearmFrameOutput();
        controller->EnsureStreamHandle();
    }
    finish();
}

int CVeltCamD3A7Base::CaptureSingleFrame() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (!controller_) return 2;
    // Buffer 0 and the work buffer get one producer only.
    if (running_.load()) StopTransfer(1);
    JoinTransferThreads();
    if (buffersStale_.load()) AllocateFrameBuffers();
    if (!workBuffer_) return 2;
    controller_->AllowReads();
    FrameDescriptor descriptor;
    descriptor.destination = workBuffer_.get();
    descriptor.capacity = static_cast<uint32_t>(workBufferSize_);
    transferFailed_ = 0;
    const uint32_t start = Time().TickMs();
    if (controller_->EnsureStreamHandle()) {
        for (int retry = 0;; ++retry) {
            if (controller_->ReadFrameHeader(&descriptor) && PayloadFitsFrame(descriptor) &&
                controller_->ReadFramePayload(&descriptor, kSingleFrameTimeoutMs)) {
                std::memcpy(frameBuffers_[0].get(), workBuffer_.get(),
                            static_cast<size_t>(frameSize_));
                bufferCounter_[0] = static_cast<int32_t>(descriptor.frameCounter & 0xFF);
                bufferWords_[0][1] = static_cast<int32_t>(descriptor.frameCounter);
                bufferSequence_[0] = framesStored_.load();
                bufferTimestampNs_[0] = platform::MonotonicNs();
                ++framesStored_;
                break;
            }
            if (!RenewWorkBufferIfWritten() || Time().TickMs() - start >= kSingleFrameBudgetMs ||
                retry >= kSingleFrameRetries) {
                transferFailed_ = 1;
                break;
            }
            descriptor.destination = workBuffer_.get();
        }
    } else {
        // No stream, no frame: say so rather than leave buffer 0 looking fresh.
        transferFailed_ = 1;
    }
    controller_->CloseStreamHandle();
    {
        std::lock_guard<std::mutex> events(eventsLock_);
        if (!threadEndEvent_) threadEndEvent_ = std::make_shared<CAutoResetEvent>();
        threadEndEvent_->Set();
    }
    running_ = 0;
    return 0;
}

// ---------------------------------------------------------------------------
// Readout

int CVeltCamD3A7Base::BufferFrameCounter(int index) const {
    if (index < 0 || index >= kMaxRing) return -1;
    return bufferCounter_[index].load();
}

int CVeltCamD3A7Base::PinFrame(bool firstBuffer) {
    int source = firstBuffer ? 0 : NewestIndex();
    pinned_ = source;
    while (!firstBuffer && source == writeIndex_.load()) {
        source = NewestIndex();
        pinned_ = source;
    }
    return source;
}

void CVeltCamD3A7Base::Unpin() {
    {
        std::lock_guard<std::mutex> lock(pinLock_);
        pinned_ = -1;
    }
    unpinned_.notify_all();
}

void CVeltCamD3A7Base::WaitUntilUnpinned(int index) {
    // A blocking wait, not a polling sleep: on Windows a sub-millisecond sleep returns
    // at once, and a time-critical thread polling in it would keep a normal-priority
    // reader from ever finishing its copy on a machine with one or two cores.
    if (pinned_.load() != index) return;
    std::unique_lock<std::mutex> lock(pinLock_);
    unpinned_.wait(lock, [&] { return pinned_.load() != index; });
}

uint64_t CVeltCamD3A7Base::TransferThreadCpuMicros() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    return thread_.joinable() ? platform::ThreadCpuMicros(thread_) : 0;
}

int CVeltCamD3A7Base::NewestIndex() const {
    const int write = writeIndex_.load();
    return write == 0 ? ringSize_ - 1 : write - 1;
}

int CVeltCamD3A7Base::ReadFrame(uint8_t* destination, size_t capacity, int32_t* counter,
                                int32_t* wordA, int32_t* wordB, int32_t* wordC, int32_t* wordD,
                                int firstBuffer, int orderFlag) {
    std::lock_guard<std::recursive_mutex> lock(control_);
    if (capacity < static_cast<size_t>(frameSize_)) return 0;
    // Pin the source buffer against the transfer thread. A source picked from a write
    // index one whole ring old could be the buffer being written right now: then pick
    // again.
    const int source = PinFrame(firstBuffer != 0);
    struct Unpin {
        CVeltCamD3A7Base& core;
        ~Unpin() { core.Unpin(); }
    } unpin{*this};
    const uint8_t* from = frameBuffers_[source].get();
    if (destination != nullptr) {
        if (from == nullptr || frameSize_ == 0) return 0;
        const int orientation = frameOrientation_;
        const bool pixelsReversed = orientation == 2 || orientation == 4;
        const bool rowsReversed = (orientation <= 2) ? orderFlag == 0 : orderFlag == 1;
        const int bpp = frameBytesPerPixel_;
        const size_t rowBytes = static_cast<size_t>(frameWidth_) * bpp;
        if (!pixelsReversed && !rowsReversed) {
            std::memcpy(destination, from, static_cast<size_t>(frameSize_));
        } else {
            for (int r = 0; r < frameHeight_; ++r) {
                const int sourceRow = rowsReversed ? frameHeight_ - 1 - r : r;
                const uint8_t* in = from + sourceRow * rowBytes;
                uint8_t* out = destination + r * rowBytes;
                if (!pixelsReversed) {
                    std::memcpy(out, in, rowBytes);
                } else if (bpp == 1) {
                    ReverseRow8(out, in, frameWidth_);
                } else {
                    ReverseRow16(out, in, frameWidth_);
                }
            }
        }
    }
    lastReadMeta_ = FrameMeta{bufferSequence_[source].load(), bufferTimestampNs_[source].load(),
                              static_cast<uint32_t>(bufferWords_[source][1].load())};
    if (counter) *counter = bufferCounter_[source].load();
    if (wordA) *wordA = bufferWords_[source][0].load();
    if (wordB) *wordB = bufferWords_[source][1].load();
    if (wordC) *wordC = bufferWords_[source][2].load();
    if (wordD) *wordD = bufferWords_[source][3].load();
    return 1;
}

FrameMeta CVeltCamD3A7Base::LastReadMeta() {
    std::lock_guard<std::recursive_mutex> lock(control_);
    return lastReadMeta_;
}

TransferCounters CVeltCamD3A7Base::Counters() const {
    TransferCounters c;
    c.framesStored = framesStored_.load();
    c.headerFailures = headerFailures_.load();
    c.payloadFailures = payloadFailures_.load();
    c.retries = retries_.load();
    c.giveUps = giveUps_.load();
    c.lengthRejects = framesRejected_.load();
    return c;
}

int CVeltCamD3A7Base::ReadNewestFrame(uint8_t* destination, size_t capacity, int orderFlag) {
    int ok =
        ReadFrame(destination, capacity, nullptr, nullptr, nullptr, nullptr, nullptr, 0, orderFlag);
    readMark_ = writeIndex_.load();
    return ok ? 0 : -1;
}

int CVeltCamD3A7Base::ReadFirstBuffer(uint8_t* destination, size_t capacity, int orderFlag) {
    if (destination == nullptr) return -2;
    return ReadFrame(destination, capacity, nullptr, nullptr, nullptr, nullptr, nullptr, 1,
                     orderFlag)
               ? 0
               : -1;
}

int CVeltCamD3A7Base::ReadNewestFrameEx(uint8_t* destination, size_t capacity, int32_t* counter,
                                        int32_t* wordA, int32_t* wordB, int32_t* wordC,
                                        int32_t* wordD, int orderFlag) {
    int ok = ReadFrame(destination, capacity, counter, wordA, wordB, wordC, wordD, 0, orderFlag);
    readMark_ = writeIndex_.load();
    return ok ? 0 : -1;
}

}  // namespace veltcam
