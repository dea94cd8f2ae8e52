// Capture modes of the SDK object: the capture set-up, the continuous preview and
// its display thread, single frames on demand, hardware trigger, the movie record
// thread, and the preview window the display thread draws into.
//
// Locks: modeLock_ serialises the mode operations of application threads and is
// never taken by the display or record thread, so a stop can join them under it.
// imageLock_ guards the image buffers, the frame-information record, the callback
// buffer, the preview window's DC and every setting the pipeline reads or writes
// while it converts a frame (so a setter waits at most one frame); the pipeline
// takes the mask lock inside it and nothing takes the two the other way round.
#include <algorithm>
#include <cstring>
#include <new>

#include "core/CVeltCamD3A7Base.h"
#include "imaging/Conversions.h"
#include "imaging/DefectMask.h"
#include "imaging/PixelOp.h"
#include "imaging/ProcessFrame.h"
#include "platform/Clock.h"
#include "platform/PreviewWindow.h"
#include "sdk/CCoreSettingsCamera.h"
#include "sdk/CSdkPipelineHost.h"
#include "sdk/CVeltCam.h"
#include "sdk/WidePath.h"

namespace veltcam {
namespace {

constexpr uint32_t kFrameMessage = 0x8002;  // WM_APP + 2
constexpr int kBitsByColorMode[] = {8, 16, 24, 32, 48, 64};
constexpr uint32_t kPreviewFrameWaitMs = 3000;
constexpr uint32_t kTriggerFrameWaitMs = 60000;
constexpr uint32_t kTriggerFrameTimeoutMs = 6000;
// Frame waits run in slices this long so that a stop is noticed at once.
constexpr uint32_t kWaitSliceMs = 50;
constexpr uint32_t kRecordPollMs = 10;

bool UsesRaw16(int colorIndex) {
    return colorIndex == kColorMono16 || colorIndex == kColorRgb48 || colorIndex == kColorRgb64;
}

// Sub-sampling modes 1..3 (and their 17..19 variants) halve, quarter and eighth
// the image.
int SubSampleShift(int mode) {
    switch (mode) {
        case 1:
        case 17:
            return 1;
        case 2:
        case 18:
            return 2;
        case 3:
        case 19:
            return 3;
        default:
            return 0;
    }
}

bool EnsureImage(DibImage& image, int width, int height, int bits) {
    if (image.IsValid() && image.Width() == width && image.Height() == height &&
        image.Bits() == bits) {
        return true;
    }
    return image.Create(width, height, bits);
}

}  // namespace

bool CVeltCam::PlacementEmpty() const {
    const PreviewPlacement& p = previewPlacement_;
    return p.parent == nullptr && p.x == 0 && p.y == 0 && p.width == 0 && p.height == 0;
}

DibImage* CVeltCam::RawImage() {
    return images_[UsesRaw16(setupColorIndex_) ? kImageMono16 : kImageMono8].get();
}

DibImage* CVeltCam::OutputImage() { return images_[kImageMono8 + setupColorIndex_].get(); }

void CVeltCam::PostFrameMessage(uintptr_t wParam, intptr_t lParam) {
    if (callbackWindow_ != nullptr) {
        platform::PostWindowMessage(callbackWindow_, kFrameMessage, wParam, lParam);
    }
}

int CVeltCam::CaptureSetup() {
    // The whole set-up reads one consistent set of window, format and camera
    // settings, and programs the camera with them before any setter on another
    // thread can change one half of them. The display thread is not running here.
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    // The core starts out at device number 0 whether or not a camera was selected:
    // only a selected camera that is still attached can capture.
    if (deviceNumber_ < 0 || !core_->IsDeviceNumberPresent(deviceNumber_)) {
        Report(kErrNoDevice);
        return 0;
    }
    if (!IsCaptureWindowValid()) {
        Report(kErrImageSize);
        return 0;
    }
    const int shift = SubSampleShift(subSampleMode_);
    const int width = captureWindow_.EH >> shift;
    const int height = captureWindow_.EV >> shift;
    const int color = colorModeIndex_;
    {
        // The raw frame of the mode's depth and its output image; the images of other
        // modes are given back, so a camera switched from 48 to 8 bits holds no
        // 48-bit buffers. The colour copy that the preview draws from (16-bit
        // monochrome through 8 bits, 32 bits and up through 24) and the one gray mode
        // 2 takes its values from are made here when already wanted, otherwise with
        // the first frame that needs them; the sharpening ring and the defect marks
        // likewise, at their own sizes.
        const int rawSlot = UsesRaw16(color) ? kImageMono16 : kImageMono8;
        const int outputSlot = kImageMono8 + color;
        int extraSlot = -1;
        if (previewDc_ != nullptr && color == kColorMono16) extraSlot = kImageMono8;
        if (previewDc_ != nullptr && color >= kColorRgb32) extraSlot = kImageColor24;
        if (color == kColorMono8 && imageSettings_.grayMode == 2) extraSlot = kImageColor24;
        bool ok = true;
        for (int slot = kImageMono8; slot <= kImageColor64; ++slot) {
            if (slot == rawSlot || slot == outputSlot || slot == extraSlot) {
                ok &= EnsureImage(*images_[slot], width, height, kBitsByColorMode[slot]);
            } else {
                images_[slot]->Free();
            }
        }
        images_[kImageWorking]->Free();
        {
            std::lock_guard<std::mutex> maskLock(maskLock_);
            const MaskPlanes planes = MaskPlaneSet();
            const int workBits = UsesRaw16(color) ? 16 : 8;
            for (const int bits : {8, 16}) {
                if (bits == workBits && dotFilter_ != 0) {
                    ok &= PrepareDefectWork(planes, bits);
                } else {
                    planes[bits == 16 ? kMaskWork16 : kMaskWork8].Free();
                }
            }
        }
        if (!ok) {
            Report(kErrMemory);
            return 0;
        }
        // The loops keep this colour mode until the next set-up: the buffers fit it.
        setupColorIndex_ = color;
    }
    CVeltCamD3A7Base& core = *core_;
    core.SetTransferDepth(UsesRaw16(color) ? 1 : 0);
    if (!core.SetCaptureWindow(captureWindow_.EHS, captureWindow_.EVS, captureWindow_.EH,
                               captureWindow_.EV, subSampleMode_)) {
        Report(kErrImageSize);
        return 0;
    }
    // Everything after the window runs under the final frame timing, so the
    // sensor converts the exposure for the window and the free-run mode in force.
    core.SetMirrorV(cameraSettings_.mirrorV);
    core.SetMirrorH(cameraSettings_.mirrorH);
    core.SetTriggerMode(0, 1);
    core.SetGain(cameraSettings_.globalGain);
    core.SetColorGainGreen1(cameraSettings_.colorGain[1]);
    core.SetColorGainRed(cameraSettings_.colorGain[0]);
    core.SetColorGainBlue(cameraSettings_.colorGain[3]);
    core.SetColorGainGreen2(cameraSettings_.colorGain[2]);
    if (core.IsExposureMsSupported()) {
        core.SetExposureMs(cameraSettings_.exposureMs);
    } else {
        core.SetExposureTime(cameraSettings_.exposureUnits);
    }
    int ok = 0;
    int real = GetRealExposureTime(&ok);
    if (ok) cameraSettings_.lastRealExposure = real;
    if (core.IsFeatureSupported(CCoreSettingsCamera::kGainModeGroup)) {
        core.SetFeature(CCoreSettingsCamera::kGainModeGroup, 0);
        core.SetFeature(CCoreSettingsCamera::kGainModeGroup, cameraSettings_.setting104);
    }
    if (core.IsFeatureSupported(CCoreSettingsCamera::kBlackLevelGroup)) {
        core.SetFeature(CCoreSettingsCamera::kBlackLevelGroup, cameraSettings_.setting106);
    }
    sensorMirrorsH_ = core.IsMirrorHSupported() != 0;
    sensorMirrorsV_ = core.IsMirrorVSupported() != 0;

    int clientWidth = 0;
    int clientHeight = 0;
    if (previewWindow_ != nullptr && previewDc_ != nullptr &&
        platform::GetPreviewClientSize(previewWindow_, clientWidth, clientHeight) &&
        clientWidth > 0 && clientHeight > 0) {
        const int bits = color <= kColorMono16 ? 8 : 24;
        EnsureImage(*images_[kImageDisplay], clientWidth, clientHeight, bits);
    }
    return 1;
}

// ---- Continuous preview ------------------------------------------------------------

int CVeltCam::StartPreview() {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    if (captureMode_ == 1) return 1;
    if (captureMode_ != 0) {
        Report(kErrNotReady);
        return 0;
    }
    if (!CaptureSetup()) return 0;
    BeginStream(true);
    if (!core_->StartTransfer(0)) {
        StopPreview();
        Report(kErrDeviceIo);
        return 0;
    }
    captureMode_ = 1;
    if (!StartDisplayThread(false)) {
        StopPreview();
        Report(kErrThread);
        return 0;
    }
    return 1;
}

int CVeltCam::StopPreview() {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    displayState_ = 0;
    // Pulling threads return now, not after the display thread has finished.
    frameQueue_.End(kErrNotReady, true);
    { std::lock_guard<std::mutex> lock(stopLock_); }
    stopWake_.notify_all();
    if (captureMode_ != 0) {
        captureMode_ = 0;
        core_->StopTransfer(0);
    }
    StopThreads();
    return 1;
}

void CVeltCam::StopThreads() {
    displayState_ = 0;
    recording_ = false;
    { std::lock_guard<std::mutex> lock(stopLock_); }
    stopWake_.notify_all();
    // A thread never waits for itself: it only lets go of its handle.
    for (std::thread* t : {&displayThread_, &recordThread_}) {
        if (!t->joinable()) continue;
        if (t->get_id() == std::this_thread::get_id()) {
            t->detach();
        } else {
            t->join();
        }
    }
}

bool CVeltCam::StartDisplayThread(bool triggerLoop) {
    // A loop that ended by itself (failed transfer) still has its handle.
    if (displayThread_.joinable()) displayThread_.join();
    displayState_ = 1;
    try {
        displayThread_ = std::thread([this, triggerLoop] { RunDisplayLoop(triggerLoop); });
    } catch (...) {
        displayState_ = 0;
        return false;
    }
    return true;
}

void CVeltCam::RunDisplayLoop(bool triggerLoop) {
    // Nothing may escape a thread of ours: it would end the application's process.
    try {
        if (triggerLoop) {
            TriggerLoop();
        } else {
            PreviewLoop();
        }
    } catch (const std::bad_alloc&) {
        EndDisplayAfterFault(kErrMemory);
    } catch (...) {
        EndDisplayAfterFault(kErrTransfer);
    }
}

void CVeltCam::EndDisplayAfterFault(int code) {
    // As after a failed transfer: the loop ends, the mode stays until the application
    // stops it, frames already queued are still handed out and then the waiters hear
    // the code. The camera need not keep sending frames nobody converts.
    displayState_ = 0;
    frameQueue_.End(code, false);
    core_->StopTransfer(0);
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    PostFrameMessage(0, code);
    Report(code);
}

int CVeltCam::Preview() {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    return CallBackPreview(nullptr, nullptr, 0, 0);
}

int CVeltCam::CallBackPreview(platform::WindowHandle window, uint8_t* buffer, int size, int flip) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    // A refused start must leave the running mode alone, so the mode is checked
    // before the window and the close-on-failure path.
    if (core_ && (captureMode_ == 2 || captureMode_ == 3)) {
        Report(kErrNotReady);
        return 0;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        callbackWindow_ = window;
        callbackBuffer_ = buffer;
        callbackBufferSize_ = size;
        callbackFlip_ = flip;
    }
    if (!PlacementEmpty() && !CreatePreview()) {
        Report(kErrWindow);
        return 0;
    }
    if (!StartPreview()) {
        ClosePreview();
        Report(kErrTransfer);
        return 0;
    }
    return 1;
}

bool CVeltCam::SleepUnlessStopped(uint32_t ms) {
    std::unique_lock<std::mutex> lock(stopLock_);
    return stopWake_.wait_for(lock, std::chrono::milliseconds(ms),
                              [this] { return displayState_.load() == 0; });
}

int CVeltCam::WaitFrameUnlessStopped(uint32_t ms) {
    uint32_t waited = 0;
    for (;;) {
        const uint32_t slice = std::min(kWaitSliceMs, ms - waited);
        const int result = core_->WaitFrame(slice);
        waited += slice;
        if (result != 2 || displayState_.load() == 0 || waited >= ms) return result;
    }
}

bool CVeltCam::ReadAndConvert(int rateMode) {
    DibImage* raw = RawImage();
    if (raw == nullptr || !raw->IsValid() ||
        core_->ReadNewestFrame(raw->Pixels(), raw->SizeBytes(), 1) != 0) {
        return false;
    }
    Repitch(*raw);
    NoteConvertedFrame(*raw);
    frameInfo_.reserved = 0;
    frameInfo_.width = raw->Width();
    frameInfo_.height = raw->Height();
    frameInfo_.bitsPerPixel = kBitsByColorMode[setupColorIndex_];
    frameInfo_.buffer = callbackBuffer_;
    if (rateMode == kRateMeasured) {
        ++frameCounter_;
        const uint32_t now = platform::TickMs();
        const uint32_t elapsed = now - rateTimeBaseMs_;
        if (elapsed > 1000) {
            frameRate10s_ = static_cast<int>(uint64_t{frameCounter_} * 10000 / elapsed);
            frameCounter_ = 0;
            rateTimeBaseMs_ = now;
        }
        frameInfo_.frameRate = frameRate10s_.load();
    } else if (rateMode == kRateZero) {
        frameInfo_.frameRate = 0;
    }
    PipelineFrame frame;
    FillPipelineFrame(frame);
    frame.colorModeIndex = setupColorIndex_;
    frame.sensorMirrorsH = sensorMirrorsH_;
    frame.sensorMirrorsV = sensorMirrorsV_;
    CSdkPipelineHost host(*this);
    frame.host = &host;
    if (failNextConversion_.exchange(false)) throw std::bad_alloc();
    ProcessFrame(frame);
    // The record thread takes one frame per flag: a flag still set is a frame it missed.
    if (newFrame_.exchange(true) && recording_.load()) ++streamCounts_.recorderFramesDropped;
    return true;
}

void CVeltCam::PreviewLoop() {
    while (displayState_.load() != 0) {
        if (SleepUnlessStopped(static_cast<uint32_t>(waitTimeMs_))) break;
        if (displayState_.load() != 1) continue;
        const int result = WaitFrameUnlessStopped(kPreviewFrameWaitMs);
        if (result == 1) {
            // The transfer thread gave up: the mode stays until StopPreview.
            displayState_ = 0;
            // Frames already queued are still handed out, then the waiters hear 13.
            frameQueue_.End(kErrTimeout, false);
            std::lock_guard<std::recursive_mutex> lock(imageLock_);
            PostFrameMessage(0, kErrTimeout);
            Report(kErrTimeout);
            break;
        }
        if (result != 3) continue;
        platform::WindowHandle window = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(imageLock_);
            if (!ReadAndConvert(kRateMeasured)) {
                PostFrameMessage(0, kErrTransfer);
                Report(kErrTransfer);
                continue;
            }
            imageValid_ = true;
            QueueConvertedFrame();
            Draw();
            if (callbackBuffer_ != nullptr && callbackBufferSize_ != 0 &&
                !CopyImageOut(callbackBuffer_, callbackBufferSize_, callbackFlip_)) {
                continue;
            }
            window = callbackWindow_;
        }
        if (displayState_.load() == 1 && window != nullptr) {
            platform::PostWindowMessage(window, kFrameMessage,
                                        reinterpret_cast<uintptr_t>(&frameInfo_), 0);
        }
    }
}

// ---- Single frames -------------------------------------------------------------------

int CVeltCam::Capture() {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_ || captureMode_ == 1 || captureMode_ == 3) {
        Report(kErrNotReady);
        return 0;
    }
    if (captureMode_ == 2) return 1;
    if (!CaptureSetup()) return 0;
    BeginStream(false);
    captureMode_ = 2;
    return 1;
}

int CVeltCam::SnapShot(uint8_t* buffer, int size, int flip) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_ || captureMode_ == 1 || captureMode_ == 3) {
        Report(kErrNotReady);
        return 0;
    }
    const bool prepared = captureMode_ == 2;
    if (!prepared && !CaptureSetup()) return 0;
    if (!prepared) BeginStream(false);
    bool copied = false;
    {
        std::unique_lock<std::recursive_mutex> lock(imageLock_);
        bool read = core_->StartTransfer(1) && core_->WaitFrame(frameTimeoutMs_) == 3;
        int failure = kErrTransfer;
        if (read) {
            bool converted = false;
            // A buffer that a stage needed could not be made: this frame is lost.
            try {
                converted = ReadAndConvert(kRateKept);
            } catch (const std::bad_alloc&) {
                failure = kErrMemory;
            }
            if (!converted) {
                PostFrameMessage(0, failure);
                read = false;
            }
        }
        if (!read) {
            lock.unlock();
            if (!prepared) core_->StopTransfer(0);
            Report(failure);
            return 0;
        }
        copied = buffer == nullptr || size == 0 || CopyImageOut(buffer, size, flip);
        if (copied) imageValid_ = true;
    }
    if (!prepared) core_->StopTransfer(0);
    if (!copied) {
        Report(kErrMemory);
        return 0;
    }
    return 1;
}

bool CVeltCam::CopyImageOut(uint8_t* buffer, int size, int flip) {
    DibImage* image = images_[kImageMono8 + setupColorIndex_].get();
    const int64_t need = static_cast<int64_t>(image->Height()) * image->RowBytes();
    if (size < need) {
        PostFrameMessage(0, kErrMemory);
        Report(kErrMemory);
        return false;
    }
    const int rows = image->Height();
    const size_t rowBytes = static_cast<size_t>(image->RowBytes());
    if (flip != 0) {
        std::memcpy(buffer, image->Pixels(), image->SizeBytes());
    } else {
        for (int r = 0; r < rows; ++r) {
            std::memcpy(buffer + static_cast<size_t>(r) * rowBytes, image->Row(rows - 1 - r),
                        rowBytes);
        }
    }
    return true;
}

int CVeltCam::GetImage(uint8_t* buffer, int size, int flip) {
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    if (colorModeIndex_ < 0 || colorModeIndex_ > 5) {
        Report(kErrNotReady);
        return 0;
    }
    DibImage* image = images_[kImageMono8 + colorModeIndex_].get();
    if (image == nullptr || !image->IsValid() || buffer == nullptr) {
        Report(kErrMemory);
        return 0;
    }
    // The copy rule works on the set-up's output buffer; GetImage names the
    // buffer of the current colour mode, which is the same one unless the mode
    // was changed since.
    const int kept = setupColorIndex_;
    setupColorIndex_ = colorModeIndex_;
    const bool ok = CopyImageOut(buffer, size, flip);
    setupColorIndex_ = kept;
    if (!ok) {
        Report(kErrMemory);
        return 0;
    }
    return 1;
}

// ---- Hardware trigger ----------------------------------------------------------------

int CVeltCam::Trigger(platform::WindowHandle window, uint8_t* buffer, int size, int flip) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_ || captureMode_ == 1 || captureMode_ == 2) {
        Report(kErrNotReady);
        return 0;
    }
    // Trigger again while trigger mode runs: the first loop ends before the
    // second starts, so one display thread owns the camera at a time.
    if (captureMode_ == 3) {
        captureMode_ = 0;
        displayState_ = 0;
        core_->StopTransfer(0);
        StopThreads();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        callbackWindow_ = window;
        callbackBuffer_ = buffer;
        callbackBufferSize_ = size;
        callbackFlip_ = flip;
    }
    if (!PlacementEmpty() && !CreatePreview()) {
        Report(kErrWindow);
        return 0;
    }
    if (!CaptureSetup()) {
        ClosePreview();
        return 0;
    }
    BeginStream(true);
    captureMode_ = 3;
    frameTimeoutMs_ = static_cast<int>(kTriggerFrameTimeoutMs);
    core_->SetFrameTimeout(kTriggerFrameTimeoutMs);
    core_->SetTriggerMode(1, 0);
    skipNextFrame_ = false;
    if (!StartDisplayThread(true)) {
        ClosePreview();
        Report(kErrThread);
        return 0;
    }
    return 1;
}

void CVeltCam::TriggerLoop() {
    const int exposureUnits = core_->GetExposureTime();
    if (SleepUnlessStopped(static_cast<uint32_t>(std::max(0, exposureUnits / 10) + 100))) return;
    core_->RefreshFrameCounter();
    while (displayState_.load() != 0) {
        if (displayState_.load() != 1) {
            SleepUnlessStopped(10);
            continue;
        }
        if (!core_->StartTransfer(2)) break;
        const int result = WaitFrameUnlessStopped(kTriggerFrameWaitMs);
        if (displayState_.load() == 0) break;
        if (result != 3) continue;
        if (skipNextFrame_.exchange(false)) continue;
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        // A frame that cannot be read is skipped with a message, as in preview.
        if (!ReadAndConvert(kRateZero)) {
            PostFrameMessage(0, kErrTransfer);
            Report(kErrTransfer);
            continue;
        }
        imageValid_ = true;
        QueueConvertedFrame();
        if (callbackBuffer_ != nullptr && callbackBufferSize_ != 0 &&
            !CopyImageOut(callbackBuffer_, callbackBufferSize_, callbackFlip_)) {
            continue;
        }
        PostFrameMessage(reinterpret_cast<uintptr_t>(&frameInfo_), 0);
        Draw();
    }
}

// ---- Recording -----------------------------------------------------------------------

int CVeltCam::Record(const char* path, int durationMs, int display) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (path == nullptr || path[0] == '\0') {
        Report(kErrParameter);
        return 0;
    }
    // One recording at a time: a second would reopen the file under the first.
    if (recording_.load() || (core_ && (captureMode_ == 2 || captureMode_ == 3))) {
        Report(kErrNotReady);
        return 0;
    }
    // A finished recording's thread may still be closing its file (it clears the
    // flag first): the writer is reopened only after that thread has ended.
    if (recordThread_.joinable()) recordThread_.join();
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        callbackWindow_ = nullptr;
        callbackBuffer_ = nullptr;
        callbackBufferSize_ = 0;
        callbackFlip_ = 0;
    }
    if (display != 0 && !PlacementEmpty() && !CreatePreview()) {
        Report(kErrWindow);
        return 0;
    }
    if (!StartPreview()) {
        ClosePreview();
        Report(kErrFailed);
        return 0;
    }
    int width = 0;
    int height = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        width = OutputImage()->Width();
        height = OutputImage()->Height();
    }
    if (!aviWriter_.Open(path, width, height)) {
        ClosePreview();
        Report(kErrFailed);
        return 0;
    }
    recordDurationMs_ = static_cast<uint32_t>(std::max(0, durationMs));
    newFrame_ = false;
    recording_ = true;
    try {
        recordThread_ = std::thread([this] { RecordThread(); });
    } catch (...) {
        recording_ = false;
        aviWriter_.Close(1);
        ClosePreview();
        Report(kErrThread);
        return 0;
    }
    return 1;
}

int CVeltCam::RecordW(const wchar_t* path, int durationMs, int display) {
    if (path == nullptr) return Record(nullptr, durationMs, display);
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return Record(narrow, durationMs, display);
}

void CVeltCam::RecordThread() {
    uint32_t start = 0;
    uint32_t last = 0;
    try {
        RecordLoop(start, last);
    } catch (...) {
        // A frame the writer could not take ends the recording; the file written so
        // far is still closed properly below.
        Report(kErrFailed);
    }
    recording_ = false;
    const uint64_t elapsed = std::max<uint32_t>(1, last - start);
    // Frames per 100 s over the recording, in 64 bits: a long recording at a high
    // rate overflows 32.
    const uint64_t hundredths = uint64_t{aviWriter_.FrameCount()} * 100000 / elapsed;
    // Stopped early or at its end, the file gets its index and counts.
    if (aviWriter_.IsOpen()) {
        aviWriter_.Close(static_cast<uint32_t>(std::clamp<uint64_t>(hundredths, 1, 0xFFFFFFFFu)));
    }
}

void CVeltCam::RecordLoop(uint32_t& start, uint32_t& last) {
    bool first = true;
    while (recording_.load()) {
        {
            std::unique_lock<std::mutex> lock(stopLock_);
            stopWake_.wait_for(lock, std::chrono::milliseconds(kRecordPollMs),
                               [this] { return !recording_.load(); });
        }
        if (!recording_.load() || !newFrame_.exchange(false)) continue;
        const uint32_t now = platform::TickMs();
        if (first) {
            start = now;
            first = false;
        }
        last = now;
        CAviWriter::FrameResult result;
        {
            std::lock_guard<std::recursive_mutex> lock(imageLock_);
            result = aviWriter_.WriteFrame(*OutputImage());
        }
        if (result == CAviWriter::FrameResult::kEnded || now - start > recordDurationMs_) break;
    }
}

// ---- Preview window ------------------------------------------------------------------

int CVeltCam::SetPreviewWindow(platform::WindowHandle parent, int x, int y, int width, int height) {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    if (!core_) {
        Report(kErrNotReady);
        return 0;
    }
    previewPlacement_ = PreviewPlacement{parent, x, y, width, height};
    // A child window on X11 follows at once (Windows keeps it until the next window).
    if (previewWindow_ != nullptr && parent != nullptr) {
        platform::PreviewWindowRequest request;
        request.parent = parent;
        request.x = x;
        request.y = y;
        request.width = width;
        request.height = height;
        platform::PlacePreviewWindow(previewWindow_, request);
    }
    return 1;
}

bool CVeltCam::CreatePreview() {
    // One window per SDK object: a mode started again reuses the one it has.
    if (previewWindow_ != nullptr) return previewDc_ != nullptr;
    // A class left from a window that failed to come up goes before a new one.
    platform::UnregisterPreviewClass(windowClassName_);
    windowClassName_.clear();
    const int shift = SubSampleShift(subSampleMode_);
    platform::PreviewWindowRequest request;
    request.parent = previewPlacement_.parent;
    request.x = previewPlacement_.x;
    request.y = previewPlacement_.y;
    request.width = previewPlacement_.width;
    request.height = previewPlacement_.height;
    request.imageWidth = captureWindow_.EH >> shift;
    request.imageHeight = captureWindow_.EV >> shift;
    request.owner = reinterpret_cast<uintptr_t>(this);
    platform::WindowHandle window = platform::CreatePreviewWindow(request, windowClassName_);
    if (window == nullptr) return false;
    void* dc = platform::GetWindowDc(window);
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    previewWindow_ = window;
    previewDc_ = dc;
    return dc != nullptr;
}

void CVeltCam::ClosePreview() {
    {
        // The display thread draws through the DC under this lock: once it is
        // released here no further frame touches the window.
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        if (previewDc_ != nullptr) {
            platform::ReleaseWindowDc(previewWindow_, previewDc_);
            previewDc_ = nullptr;
        }
        if (previewWindow_ != nullptr) {
            platform::DestroyPreviewWindow(previewWindow_);
            previewWindow_ = nullptr;
        }
    }
    StopPreview();
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        imageValid_ = false;
    }
    if (core_) core_->StopTransfer(0);
    platform::UnregisterPreviewClass(windowClassName_);
    windowClassName_.clear();
}

int CVeltCam::Close() {
    std::lock_guard<std::recursive_mutex> mode(modeLock_);
    ClosePreview();
    return 1;
}

void CVeltCam::Draw() {
    if (previewDc_ == nullptr) return;
    DibImage* image = nullptr;
    const DibImage& output = *OutputImage();
    // The copy drawn from for 16-bit monochrome and 32 bits and up; without it this
    // frame is simply not shown.
    auto drawCopy = [&](int slot, int bits) {
        DibImage* copy = images_[slot].get();
        return EnsureImage(*copy, output.Width(), output.Height(), bits) ? copy : nullptr;
    };
    switch (setupColorIndex_) {
        case kColorMono8:
            image = images_[kImageMono8].get();
            break;
        case kColorMono16:
            image = drawCopy(kImageMono8, 8);
            if (image == nullptr) return;
            ApplyPixelOp(*image, conversions::MonoHighByte, *images_[kImageMono16], nullptr, 0, 0,
                         nullptr);
            break;
        case kColorRgb24:
            image = images_[kImageColor24].get();
            break;
        case kColorRgb32:
            image = drawCopy(kImageColor24, 24);
            if (image == nullptr) return;
            ApplyPixelOp(*image, conversions::Color32To24, *images_[kImageColor32], nullptr, 0, 0,
                         nullptr);
            break;
        default:
            image = drawCopy(kImageColor24, 24);
            if (image == nullptr) return;
            ApplyPixelOp(*image, conversions::Color48HighBytes,
                         *images_[kImageMono8 + setupColorIndex_], nullptr, 0, 0, nullptr);
            break;
    }
    int width = 0;
    int height = 0;
    if (!platform::GetPreviewClientSize(previewWindow_, width, height) || width <= 0 ||
        height <= 0) {
        return;
    }
    // An X11 window stretches the frame straight into what it sends to the server.
    const platform::PreviewImage frame{image->Pixels(), image->Width(), image->Height(),
                                       image->Bits(), image->RowBytes()};
    if (platform::DrawPreviewImage(previewDc_, width, height, frame)) return;
    if (width == image->Width() && height == image->Height() && setupColorIndex_ != kColorMono16 &&
        image->HasDeviceContext()) {
        platform::StretchMirror(previewDc_, width, height, image->DeviceContext());
        return;
    }
    DibImage& display = *images_[kImageDisplay];
    const int bits = setupColorIndex_ <= kColorMono16 ? 8 : 24;
    // Without a display buffer this frame is simply not shown.
    if (!EnsureImage(display, width, height, bits)) return;
    conversions::PreviewScale(display, *image);
    platform::BlitSurface(previewDc_, 0, 0, width, height, display.DeviceContext(), 0, 0);
}

}  // namespace veltcam
