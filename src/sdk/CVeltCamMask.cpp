// The SDK object's side of the defect mask and the image pipeline: the mask
// planes it owns, the mask file exports and the record it hands to ProcessFrame.
#include <mutex>

#include "imaging/DefectMask.h"
#include "imaging/MaskFile.h"
#include "imaging/ProcessFrame.h"
#include "sdk/CVeltCam.h"
#include "sdk/WidePath.h"

namespace veltcam {

static_assert(kImageCount - kImageMaskFirst == kMaskPlaneCount, "one image slot per mask plane");

MaskPlanes CVeltCam::MaskPlaneSet() {
    MaskPlanes planes;
    for (int i = 0; i < kMaskPlaneCount; ++i) planes.plane[i] = images_[kImageMaskFirst + i].get();
    return planes;
}

bool CVeltCam::EnsureMaskReferences() {
    const MaskPlanes planes = MaskPlaneSet();
    if (planes.HasReferences()) return true;
    if (AllocateMaskReferences(planes)) return true;
    // A half-made set would hold memory and still count as no mask.
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        if (i != kMaskWork8 && i != kMaskWork16) planes[i].Free();
    }
    return false;
}

int CVeltCam::UpdateMaskData(int which) {
    if (!HasCore()) {
        Report(kErrNotReady);
        return 0;
    }
    // The frame-delivering thread holds the image lock around the whole
    // conversion; the mask lock keeps the corrections of a frame that is being
    // converted meanwhile from reading a half-copied reference.
    std::lock_guard<std::recursive_mutex> imageLock(imageLock_);
    const bool sixteen = colorModeIndex_ == 1 || colorModeIndex_ == 4 || colorModeIndex_ == 5;
    DibImage* raw = images_[sixteen ? kImageMono16 : kImageMono8].get();
    if (raw == nullptr) return 1;
    bool ok;
    {
        std::lock_guard<std::mutex> maskLock(maskLock_);
        if (raw->IsValid() && !EnsureMaskReferences()) {
            Report(kErrMemory);
            return 0;
        }
        ok = UpdateMaskReference(MaskPlaneSet(), *raw, which);
    }
    if (!ok) {
        Report(kErrFailed);
        return 0;
    }
    return 1;
}

int CVeltCam::SaveMaskFile(const char* path) {
    if (!HasCore()) {
        Report(kErrNotReady);
        return 0;
    }
    bool ok;
    {
        std::lock_guard<std::mutex> lock(maskLock_);
        ok = WriteMaskFile(path, MaskPlaneSet());
    }
    if (!ok) {
        Report(kErrMaskFile);
        return 0;
    }
    return 1;
}

int CVeltCam::LoadMaskFile(const char* path) {
    if (!HasCore()) {
        Report(kErrNotReady);
        return 0;
    }
    // Read and check the whole file first: a foreign or short file must leave the
    // references as they were.
    MaskFileContent content;
    if (!ReadMaskFile(path, content)) {
        Report(kErrMaskFile);
        return 0;
    }
    // The flags are rebuilt under the lock too, so a frame never corrects with new
    // references and old flags.
    std::lock_guard<std::mutex> lock(maskLock_);
    if (!EnsureMaskReferences()) {
        Report(kErrMemory);
        return 0;
    }
    ApplyMaskFile(content, MaskPlaneSet());
    return 1;
}

int CVeltCam::SaveMaskFileW(const wchar_t* path) {
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return SaveMaskFile(narrow);
}

int CVeltCam::LoadMaskFileW(const wchar_t* path) {
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return LoadMaskFile(narrow);
}

bool CVeltCam::SetCorrectionSwitch(int id, int value) {
    CorrectionSwitches switches{maskFilter_, dotFilter_};
    if (!switches.Set(id, value)) return false;
    std::lock_guard<std::recursive_mutex> lock(imageLock_);
    maskFilter_ = switches.maskFilter;
    dotFilter_ = switches.dotFilter;
    return true;
}

int CVeltCam::GetCorrectionSwitch(int id) const {
    return CorrectionSwitches{maskFilter_, dotFilter_}.Get(id);
}

void CVeltCam::FillPipelineFrame(PipelineFrame& frame) {
    frame.colorModeIndex = colorModeIndex_;
    frame.settings = &imageSettings_;
    frame.whiteBalanceOnce = &whiteBalanceOnce_;
    frame.autoIrisMode = cameraSettings_.autoIris;
    frame.mirrorH = cameraSettings_.mirrorH != 0;
    frame.mirrorV = cameraSettings_.mirrorV != 0;
    frame.subSampleMode = subSampleMode_;
    frame.corrections = CorrectionSwitches{maskFilter_, dotFilter_};
    frame.window = CorrectionWindow{captureWindow_.EH, captureWindow_.EV, captureWindow_.EHS,
                                    captureWindow_.EVS, subSampleMode_};
    frame.mask = MaskPlaneSet();
    frame.maskLock = &maskLock_;
    frame.raw8 = images_[kImageMono8].get();
    frame.raw16 = images_[kImageMono16].get();
    frame.color24 = images_[kImageColor24].get();
    frame.color32 = images_[kImageColor32].get();
    frame.color48 = images_[kImageColor48].get();
    frame.color64 = images_[kImageColor64].get();
    frame.sharpenWork = images_[kImageWorking].get();
    frame.workers = &pipelineWorkers_;
}

}  // namespace veltcam
