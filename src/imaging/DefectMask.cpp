#include "imaging/DefectMask.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "imaging/kernels/Kernels.h"
#include "sdk/ModelConstants.h"

namespace veltcam {
namespace {

template <class T>
T* RowAt(const DibImage& image, int y) {
    return reinterpret_cast<T*>(const_cast<uint8_t*>(image.Row(y)));
}

template <class T>
void Fill(DibImage& image, T value) {
    for (int y = 0; y < image.Height(); ++y) {
        T* row = RowAt<T>(image, y);
        std::fill(row, row + image.Width(), value);
    }
}

int SubSampleDivisor(int mode) {
    switch (mode) {
        case 1:
        case 17:
            return 2;
        case 2:
        case 18:
            return 4;
        case 3:
        case 19:
            return 8;
        default:
            return 1;
    }
}

// The part of a frame that the corrections cover, and the matching position on
// the sensor-sized planes.
struct CoveredArea {
    int firstX = 0, endX = 0, firstY = 0, endY = 0;  // frame coordinates
    int planeX = 0, planeY = 0;                      // sensor position of frame (0, 0)
    bool Empty() const { return endX <= firstX || endY <= firstY; }
};

CoveredArea Cover(const DibImage& raw, const CorrectionWindow& w, int margin) {
    const int div = SubSampleDivisor(w.subSampleMode);
    CoveredArea a;
    a.planeX = std::max(w.x, 0);
    a.planeY = std::max(w.y, 0);
    // Never past the frame actually delivered, nor past the sensor-sized planes.
    const int width = std::min({w.width / div, raw.Width(), kSensorWidth - a.planeX});
    const int height = std::min({w.height / div, raw.Height(), kSensorHeight - a.planeY});
    a.firstX = margin;
    a.firstY = margin;
    a.endX = width - margin;
    a.endY = height - margin;
    return a;
}

template <class T>
void BuildFlags(const DibImage& reference, DibImage& flags, bool hot, int limit) {
    for (int y = 2; y < kSensorHeight - 2; ++y) {
        const T* ref = RowAt<T>(reference, y);
        T* out = RowAt<T>(flags, y);
        for (int x = 2; x < kSensorWidth - 2; ++x) {
            out[x] = hot ? (ref[x] > limit ? 1 : 0) : (ref[x] < limit ? 1 : 0);
        }
    }
}

// First marked column in [x, end) (end when none): marks are sparse, so whole
// words of unmarked columns are skipped at once.
template <class T>
int NextMarked(const T* marks, int x, int end) {
    if constexpr (sizeof(T) == 1) {
        const void* p = std::memchr(marks + x, 1, static_cast<size_t>(end - x));
        return p != nullptr ? static_cast<int>(static_cast<const T*>(p) - marks) : end;
    } else {
        for (; x + 4 <= end; x += 4) {
            uint64_t word;
            std::memcpy(&word, marks + x, sizeof word);
            if (word != 0) break;
        }
        while (x < end && marks[x] == 0) ++x;
        return x;
    }
}

// Replacement of marked pixels by the mean of the nearest unmarked pixel in each
// of the four directions. Rows 0 and H-1 and columns 0 and W-1 are never marked,
// so all four are always found; unmarked pixels are never written and only they
// feed replacements, so the result does not depend on the order and a marked
// pixel's own sample is free to hold an intermediate value. Two sweeps over the
// frame, linear however the marks cluster:
//   downwards, every marked pixel takes the nearest unmarked value above it;
//   upwards, it becomes (left + right + that value + nearest unmarked below) / 4,
//   left and right being the unmarked pixels that bound its run in the row.
template <class T>
void ReplaceMarked(DibImage& raw, uint8_t* marksBase) {
    const int w = raw.Width();
    const int h = raw.Height();
    const size_t pitch = static_cast<size_t>(raw.RowBytes());
    auto marks = [&](int y) { return reinterpret_cast<const T*>(marksBase + y * pitch); };
    const auto& k = kernels::ActiveKernels();
    const auto sweep = sizeof(T) == 1 ? k.nearestUnmarked8 : k.nearestUnmarked16;
    std::vector<T> nearest(RowAt<T>(raw, 0), RowAt<T>(raw, 0) + w);
    for (int y = 1; y < h - 1; ++y) {
        sweep({RowAt<T>(raw, y), nearest.data(), marks(y), w, true});
    }
    nearest.assign(RowAt<T>(raw, h - 1), RowAt<T>(raw, h - 1) + w);
    for (int y = h - 2; y >= 1; --y) {
        const T* m = marks(y);
        T* row = RowAt<T>(raw, y);
        T* n = nearest.data();
        int x = 1;
        while ((x = NextMarked(m, x, w - 1)) < w - 1) {
            int end = x;
            while (m[end] != 0) ++end;  // column w-1 is never marked
            const unsigned sides = static_cast<unsigned>(row[x - 1]) + row[end];
            for (int c = x; c < end; ++c) row[c] = static_cast<T>((sides + row[c] + n[c]) / 4);
            x = end;
        }
        sweep({row, n, m, w, false});
    }
}

template <class T>
void CorrectDefectsT(DibImage& raw, const MaskPlanes& planes, int threshold,
                     const CorrectionWindow& window, bool sixteen) {
    const int w = raw.Width();
    const int h = raw.Height();
    DibImage& work = planes[sixteen ? kMaskWork16 : kMaskWork8];
    const DibImage& hot = planes[sixteen ? kMaskHot16 : kMaskHot8];
    const DibImage& dead = planes[sixteen ? kMaskDead16 : kMaskDead8];
    const size_t pitch = static_cast<size_t>(raw.RowBytes());
    // The marks use the frame's own layout inside the work plane.
    if (w < 3 || h < 3 || pitch * h > work.SizeBytes()) return;
    std::memset(work.Pixels(), 0, pitch * h);

    // Defect flags come from the sensor position of the frame, as the flat field's
    // references do; outside the planes there are no flags.
    const CoveredArea area = Cover(raw, window, 0);
    std::vector<T> none(w, 0);
    const auto& k = kernels::ActiveKernels();
    for (int y = 1; y < h - 1; ++y) {
        kernels::DefectDetectRow row;
        row.above = raw.Row(y - 1);
        row.row = raw.Row(y);
        row.below = raw.Row(y + 1);
        const bool flagged = y < area.endY && area.endX >= w;
        row.hot = flagged ? RowAt<T>(hot, area.planeY + y) + area.planeX : none.data();
        row.dead = flagged ? RowAt<T>(dead, area.planeY + y) + area.planeX : none.data();
        row.marks = work.Pixels() + y * pitch;
        row.width = w;
        row.threshold = threshold;
        (sixteen ? k.detectDefects16 : k.detectDefects8)(row);
    }
    ReplaceMarked<T>(raw, work.Pixels());
}

template <class T>
void FlatFieldT(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                bool sixteen) {
    const int margin = (window.width == kSensorWidth || window.height == kSensorHeight) ? 2 : 0;
    const CoveredArea a = Cover(raw, window, margin);
    if (a.Empty()) return;
    const DibImage& dark = planes[sixteen ? kMaskDark16 : kMaskDark8];
    const DibImage& white = planes[sixteen ? kMaskWhite16 : kMaskWhite8];
    const auto& k = kernels::ActiveKernels();
    for (int y = a.firstY; y < a.endY; ++y) {
        kernels::FlatFieldRow row;
        row.samples = RowAt<T>(raw, y) + a.firstX;
        row.dark = RowAt<T>(dark, a.planeY + y) + a.planeX + a.firstX;
        row.white = RowAt<T>(white, a.planeY + y) + a.planeX + a.firstX;
        row.count = a.endX - a.firstX;
        (sixteen ? k.flatField16 : k.flatField8)(row);
    }
}

}  // namespace

bool MaskPlanes::Valid() const {
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        const DibImage* p = plane[i];
        const bool sixteen = i == kMaskDark16 || i == kMaskWhite16 || i == kMaskHot16 ||
                             i == kMaskDead16 || i == kMaskWork16;
        if (p == nullptr || !p->IsValid() || p->Width() != kSensorWidth ||
            p->Height() != kSensorHeight || p->Bits() != (sixteen ? 16 : 8)) {
            return false;
        }
    }
    return true;
}

bool CorrectionSwitches::Set(int id, int value) {
    if (!IsValidValue(value)) return false;
    if (id == kIdDotFilter) {
        dotFilter = value;
    } else if (id == kIdMaskFilter) {
        maskFilter = value;
    } else {
        return false;
    }
    return true;
}

int CorrectionSwitches::Get(int id) const {
    if (id == kIdDotFilter) return dotFilter;
    if (id == kIdMaskFilter) return maskFilter;
    return -1;
}

bool AllocateMaskPlanes(const MaskPlanes& planes) {
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        if (planes.plane[i] == nullptr) return false;
        const bool sixteen = i == kMaskDark16 || i == kMaskWhite16 || i == kMaskHot16 ||
                             i == kMaskDead16 || i == kMaskWork16;
        if (!planes.plane[i]->Create(kSensorWidth, kSensorHeight, sixteen ? 16 : 8)) return false;
    }
    Fill<uint8_t>(planes[kMaskWhite8], 255);
    Fill<uint16_t>(planes[kMaskWhite16], 65535);
    return true;
}

void BuildDefectFlags(const MaskPlanes& planes, int bits, int which) {
    if (!planes.Valid()) return;
    const bool hot = which == 0;
    if (bits == 16) {
        BuildFlags<uint16_t>(planes[hot ? kMaskDark16 : kMaskWhite16],
                             planes[hot ? kMaskHot16 : kMaskDead16], hot, hot ? 0x3000 : 0x1000);
    } else {
        BuildFlags<uint8_t>(planes[hot ? kMaskDark8 : kMaskWhite8],
                            planes[hot ? kMaskHot8 : kMaskDead8], hot, hot ? 192 : 64);
    }
}

void FlatField(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window) {
    if (!raw.IsValid() || !planes.Valid()) return;
    if (raw.Bits() == 16) {
        FlatFieldT<uint16_t>(raw, planes, window, true);
    } else if (raw.Bits() == 8) {
        FlatFieldT<uint8_t>(raw, planes, window, false);
    }
}

void CorrectDefects(DibImage& raw, const MaskPlanes& planes, int threshold,
                    const CorrectionWindow& window) {
    if (!raw.IsValid() || !planes.Valid()) return;
    if (raw.Bits() == 16) {
        CorrectDefectsT<uint16_t>(raw, planes, threshold, window, true);
    } else if (raw.Bits() == 8) {
        CorrectDefectsT<uint8_t>(raw, planes, threshold, window, false);
    }
}

bool UpdateMaskReference(const MaskPlanes& planes, const DibImage& raw, int which) {
    if (!planes.Valid() || !raw.IsValid() || (raw.Bits() != 8 && raw.Bits() != 16)) return true;
    const bool sixteen = raw.Bits() == 16;
    bool ok = true;
    if (raw.Width() == kSensorWidth && raw.Height() == kSensorHeight) {
        if (which == 0 || which == 1) {
            const int index = sixteen ? (which == 0 ? kMaskDark16 : kMaskWhite16)
                                      : (which == 0 ? kMaskDark8 : kMaskWhite8);
            DibImage& target = planes[index];
            const size_t bytes = static_cast<size_t>(kSensorWidth) * (sixteen ? 2 : 1);
            for (int y = 0; y < kSensorHeight; ++y) std::memcpy(target.Row(y), raw.Row(y), bytes);
        } else {
            ok = false;
        }
    }
    BuildDefectFlags(planes, sixteen ? 16 : 8, which == 0 ? 0 : 1);
    return ok;
}

}  // namespace veltcam
