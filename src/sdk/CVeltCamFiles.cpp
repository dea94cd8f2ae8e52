// The SDK object's side of still image files and the movie recorder.
#include <cstring>
#include <mutex>

#include "files/StillImageFile.h"
#include "sdk/CVeltCam.h"
#include "sdk/WidePath.h"

namespace veltcam {
namespace {

// The application gets the samples exactly as the pipeline delivers them:
// left-aligned, so all 16 bits count.
constexpr int kDeliveredSignificantBits = 16;

}  // namespace

int CVeltCam::SaveImage(const char* path, int format) {
    if (!HasCore() || !imageValid_) {
        Report(kErrNotReady);
        return 0;
    }
    return SaveOutputImage(path, format);
}

int CVeltCam::SaveImageW(const wchar_t* path, int format) {
    NarrowPath narrow;
    if (!ToNarrowPath(path, narrow)) {
        Report(kErrFailed);
        return 0;
    }
    return SaveImage(narrow, format);
}

int CVeltCam::SaveOutputImage(const char* path, int format) {
    // The frame-delivering thread converts into these buffers under the image lock.
    // The save takes a copy of one whole frame under that lock and encodes it
    // outside: a full-frame PNG takes seconds, and the preview and a recording
    // would stand still for all of them.
    DibImage copy;
    {
        std::lock_guard<std::recursive_mutex> lock(imageLock_);
        DibImage* image = colorModeIndex_ >= 0 && colorModeIndex_ <= 5
                              ? images_[kImageMono8 + colorModeIndex_].get()
                              : nullptr;
        if (image == nullptr || !image->IsValid()) {
            Report(kErrNotReady);
            return 0;
        }
        if (!copy.CreateLike(*image)) {
            // No memory for a copy: save from the buffer itself, the lock held.
            return SaveImageFile(path, *image, format, kDeliveredSignificantBits);
        }
        std::memcpy(copy.Pixels(), image->Pixels(), image->SizeBytes());
    }
    // A file that cannot be written is the caller's to notice: no error code.
    return SaveImageFile(path, copy, format, kDeliveredSignificantBits);
}

}  // namespace veltcam
