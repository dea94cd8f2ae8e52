// Pulled frames and stream statistics of the SDK object: the frame queue that the
// display loops fill, frame numbering per capture mode, the metadata of the frame
// the output buffer holds, and the counters behind the stream statistics.
//
// Locks: the numbering, the current frame's metadata and the counters are kept by
// the display thread under imageLock_, and read under it. The queue has its own
// lock; a waiting application thread holds nothing else, so stopping a mode or
// releasing the handle (which end the queue) is never held up by a waiter.
#include <algorithm>
#include <cstddef>

#include "core/CVeltCamD3A7Base.h"
#include "imaging/ProcessFrame.h"
#include "sdk/CVeltCam.h"

namespace veltcam {
namespace {

constexpr int kBitsByColorMode[] = {8, 16, 24, 32, 48, 64};

}  // namespace

int CVeltCam::SetFrameQueue(int depth, int policy) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (depth < 0 || depth > CFrameQueue::kMaxDepth ||
        (depth > 0 && policy != CFrameQueue::kOldestFirst && policy != CFrameQueue::kNewestOnly)) {
        Report(kErrParameter);
        return 0;
    }
    // Turning the queue off needs no policy: whatever the caller passed, the one in
    // force stays for the next time it is turned on.
    if (depth == 0) policy = frameQueue_.GetPolicy();
    // Under the image lock the display thread is not copying into the queue.
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    // A running mode's frames have their size; otherwise the buffers are made when
    // the next mode starts, for the size its set-up gives the output buffer.
    size_t bytes = 0;
    DibImage* output = captureMode_ == 1 || captureMode_ == 3 ? OutputImage() : nullptr;
    if (depth > 0 && output != nullptr && output->IsValid()) {
        bytes = static_cast<size_t>(output->Height()) * static_cast<size_t>(output->RowBytes());
    }
    if (!frameQueue_.Configure(depth, static_cast<CFrameQueue::Policy>(policy), bytes)) {
        Report(kErrMemory);
        return 0;
    }
    return 1;
}

int CVeltCam::WaitFrameEx(uint8_t* buffer, int size, int flip, int timeoutMs,
                          StreamFrameInfo* info) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (buffer == nullptr || size < 0 || timeoutMs < 0) {
        Report(kErrParameter);
        return 0;
    }
    int code = kErrNotReady;
    StreamFrameInfo frame;
    switch (frameQueue_.Take(buffer, static_cast<size_t>(size), flip,
                             static_cast<uint32_t>(timeoutMs), &frame, &code)) {
        case CFrameQueue::TakeResult::kFrame:
            if (info != nullptr) *info = frame;
            return 1;
        case CFrameQueue::TakeResult::kTimeout:
            return 2;
        case CFrameQueue::TakeResult::kTooSmall:
            Report(kErrMemory);
            return 0;
        case CFrameQueue::TakeResult::kEnded:
            break;
    }
    Report(code);
    return 0;
}

int CVeltCam::GetFrameInfoEx(StreamFrameInfo* info) {
    if (info == nullptr) {
        Report(kErrParameter);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (!core_ || !haveCurrentFrame_) {
        Report(kErrNotReady);
        return 0;
    }
    *info = currentFrame_;
    return 1;
}

int CVeltCam::GetStreamStats(StreamStats* stats) {
    if (stats == nullptr) {
        Report(kErrParameter);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    StreamStats out = streamCounts_;
    if (core_) {
        const TransferCounters now = core_->Counters();
        out.framesTransferred = now.framesStored - statsBase_.framesStored;
        out.headerTimeouts = now.headerFailures - statsBase_.headerFailures;
        out.framesRejected = now.payloadFailures - statsBase_.payloadFailures;
        out.transferRetries = now.retries - statsBase_.retries;
        out.transferFailures = now.giveUps - statsBase_.giveUps;
        out.payloadLengthRejects = now.lengthRejects - statsBase_.lengthRejects;
    }
    out.framesDroppedByQueue = frameQueue_.Dropped();
    out.framesPerSecond = rateFrames_ > 1 && rateLastNs_ > rateFirstNs_
                              ? static_cast<double>(rateFrames_ - 1) * 1e9 /
                                    static_cast<double>(rateLastNs_ - rateFirstNs_)
                              : 0.0;
    *stats = out;
    return 1;
}

int CVeltCam::SetPipelineThreads(int threads) {
    if (!pipelineWorkers_.SetThreadLimit(threads == 0 ? DefaultPipelineThreads() : threads)) {
        Report(kErrParameter);
        return 0;
    }
    return 1;
}

int CVeltCam::ResetStreamStats() {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    streamCounts_ = StreamStats{};
    if (core_) statsBase_ = core_->Counters();
    frameQueue_.ResetDropped();
    rateFirstNs_ = rateLastNs_ = rateFrames_ = 0;
    return 1;
}

void CVeltCam::EndFrameStream() { frameQueue_.End(kErrNotReady, true); }

void CVeltCam::BeginStream(bool queued) {
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    streamBase_ = core_->Counters().framesStored;
    lastConverted_ = -1;
    lostInTransferTotal_ = 0;
    if (!queued) return;
    // The set-up may have changed the frame size since the queue was sized.
    const int depth = frameQueue_.Depth();
    DibImage* output = OutputImage();
    if (depth > 0 && output != nullptr && output->IsValid()) {
        const size_t bytes =
            static_cast<size_t>(output->Height()) * static_cast<size_t>(output->RowBytes());
        if (bytes != frameQueue_.FrameBytes() &&
            !frameQueue_.Configure(depth, frameQueue_.GetPolicy(), bytes)) {
            // The mode runs without a queue; a waiter hears code 1.
            Report(kErrMemory);
        }
    }
    frameQueue_.Open();
}

void CVeltCam::NoteConvertedFrame(const DibImage& raw) {
    const FrameMeta meta = core_->LastReadMeta();
    const int64_t number =
        meta.sequence >= streamBase_ ? static_cast<int64_t>(meta.sequence - streamBase_) : 0;
    StreamFrameInfo& frame = currentFrame_;
    const DibImage* output = OutputImage();
    frame.width = raw.Width();
    frame.height = raw.Height();
    frame.bitsPerPixel = kBitsByColorMode[setupColorIndex_];
    frame.rowBytes = output != nullptr ? output->RowBytes() : 0;
    frame.cameraCounter = meta.cameraCounter;
    frame.frameNumber = static_cast<uint64_t>(number);
    frame.timestampNs = meta.timestampNs;
    // Frames the ring overwrote before this one could be read out.
    frame.droppedBefore = number > lastConverted_ + 1 ? number - lastConverted_ - 1 : 0;
    frame.exposureUnits = core_->GetExposureTime();
    frame.gain = core_->GetGain();
    // The camera counts every frame it sends. Between two converted frames its counter
    // moves once per frame stored in the ring (converted, or overwritten there) and
    // once per frame that never got into it; the first frame of a mode has nothing to
    // compare with. A counter that went backwards is a camera that started again.
    frame.lostInTransfer = 0;
    if (lastConverted_ >= 0 && number > lastConverted_) {
        const int32_t counted = static_cast<int32_t>(meta.cameraCounter - lastCameraCounter_);
        const int64_t stored = number - lastConverted_;
        if (counted > stored) frame.lostInTransfer = static_cast<uint64_t>(counted - stored);
    }
    lostInTransferTotal_ += frame.lostInTransfer;
    frame.lostInTransferTotal = lostInTransferTotal_;
    streamCounts_.framesLostInTransfer += frame.lostInTransfer;
    if (number >= lastConverted_) lastCameraCounter_ = meta.cameraCounter;
    lastConverted_ = std::max(lastConverted_, number);
    haveCurrentFrame_ = true;
    streamCounts_.framesLostInRing += frame.droppedBefore;
    ++streamCounts_.framesDelivered;
    if (rateFrames_ == 0) rateFirstNs_ = meta.timestampNs;
    rateLastNs_ = meta.timestampNs;
    ++rateFrames_;
}

void CVeltCam::QueueConvertedFrame() {
    const DibImage* output = OutputImage();
    if (output == nullptr || !output->IsValid()) return;
    frameQueue_.Push(output->Pixels(), output->Height(), output->RowBytes(), currentFrame_);
}

}  // namespace veltcam
