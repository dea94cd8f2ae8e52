#include "imaging/DefectMask.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/ModelConstants.h"
#include "imaging/kernels/Kernels.h"

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

// Replacement of marked pixels by the mean of the nearest unmarked pixel in each
// of the four directions. Rows 0 and H-1 and columns 0 and W-1 are never marked,
// so all four are always found; unmarked pixels are never written and only they
// feed replacements, so the result does not depend on the order and a marked
// pixel's own sample is free to hold an intermediate value. Marks of the whole
// frame come first (detection reads the rows above and below as they came from
// the sensor); then two sweeps over a band of rows, linear however the marks
// cluster:
//   downwards, every marked pixel takes the nearest unmarked value above it;
//   upwards, it becomes (left + right + that value + nearest unmarked below) / 4.
// A band starts each sweep from the nearest unmarked values beyond its edge,
// which no other band ever writes: bands may run at the same time.
template <class T>
struct DefectPlanes {
    DefectPlanes(const DibImage& raw, const MaskPlanes& planes, bool sixteen)
        : work(planes[sixteen ? kMaskWork16 : kMaskWork8]),
          hot(planes[sixteen ? kMaskHot16 : kMaskHot8]),
          dead(planes[sixteen ? kMaskDead16 : kMaskDead8]),
          pitch(static_cast<size_t>(raw.RowBytes())) {}
    // The marks use the frame's own layout inside the work plane.
    T* Marks(int y) const { return reinterpret_cast<T*>(work.Pixels() + y * pitch); }
    bool Fits(const DibImage& raw) const {
        return raw.Width() >= 3 && raw.Height() >= 3 && pitch * raw.Height() <= work.SizeBytes();
    }
    DibImage& work;
    const DibImage& hot;
    const DibImage& dead;
    size_t pitch;
};

}  // namespace

// The band edges of one sample depth.
template <class T>
struct DefectEdgeAccess {
    // Top-most and bottom-most unmarked sample of every column in the band's
    // rows [firstRow, endRow), found row by row over the columns still open:
    // on most frames one or two rows settle every column.
    static void Gather(DefectBandEdges& e, const DibImage& raw, const DefectPlanes<T>& p, int band,
                       int firstRow, int endRow, std::vector<int>& open) {
        const size_t base = Base(e, band);
        uint16_t* has = &e.hasAny_[base];
        std::fill(has, has + e.width_, uint16_t{0});
        Scan(raw, p, firstRow, endRow, +1, &e.top_[base], has, open);
        Scan(raw, p, endRow - 1, firstRow - 1, -1, &e.bottom_[base], nullptr, open);
    }

    // For every column, the nearest unmarked sample above band `band` (from
    // the bottom edges of the bands above) or below it (top edges of those
    // below). The first and last bands hold rows 0 and H-1, which are never
    // marked, so one is always found.
    static void Seed(const DefectBandEdges& e, int band, int step, std::vector<T>& nearest) {
        const size_t w = static_cast<size_t>(e.width_);
        nearest.resize(w);
        const auto& value = step < 0 ? e.bottom_ : e.top_;
        for (size_t x = 0; x < w; ++x) {
            int k = band + step;
            while (k > 0 && k < e.bands_ - 1 && e.hasAny_[Base(e, k) + x] == 0) k += step;
            nearest[x] = static_cast<T>(value[Base(e, k) + x]);
        }
    }

  private:
    static void Scan(const DibImage& raw, const DefectPlanes<T>& p, int from, int to, int step,
                     uint16_t* value, uint16_t* has, std::vector<int>& open) {
        const int w = raw.Width();
        open.resize(static_cast<size_t>(w));
        for (int x = 0; x < w; ++x) open[static_cast<size_t>(x)] = x;
        for (int row = from; row != to && !open.empty(); row += step) {
            const T* values = RowAt<T>(raw, row);
            const T* marks = p.Marks(row);
            size_t kept = 0;
            for (const int x : open) {
                if (marks[x] == 0) {
                    value[x] = values[x];
                    if (has != nullptr) has[x] = 1;
                } else {
                    open[kept++] = x;
                }
            }
            open.resize(kept);
        }
    }

    static size_t Base(const DefectBandEdges& e, int band) {
        return static_cast<size_t>(band) * static_cast<size_t>(e.width_);
    }
};

namespace {

template <class T>
void DetectDefectRowsT(const DibImage& raw, const MaskPlanes& planes, int threshold,
                       const CorrectionWindow& window, int firstRow, int endRow,
                       DefectBandEdges* edges, int band, bool sixteen) {
    const DefectPlanes<T> p(raw, planes, sixteen);
    if (!p.Fits(raw)) return;
    const int w = raw.Width();
    const int h = raw.Height();
    // Defect flags come from the sensor position of the frame, as the flat field's
    // references do; outside the planes there are no flags.
    const CoveredArea area = Cover(raw, window, 0);
    thread_local std::vector<T> none;
    none.assign(static_cast<size_t>(w), T{0});
    const auto& k = kernels::ActiveKernels();
    const auto detect = sixteen ? k.detectDefects16 : k.detectDefects8;
    // A single band has no neighbour to hand its edges to.
    const bool gather =
        edges != nullptr && edges->Bands() > 1 && band >= 0 && band < edges->Bands();
    for (int y = std::max(firstRow, 0); y < std::min(endRow, h); ++y) {
        if (y == 0 || y == h - 1) {
            std::fill(p.Marks(y), p.Marks(y) + w, T{0});
            continue;
        }
        kernels::DefectDetectRow row;
        row.above = raw.Row(y - 1);
        row.row = raw.Row(y);
        row.below = raw.Row(y + 1);
        const bool flagged = y < area.endY && area.endX >= w;
        row.hot = flagged ? RowAt<T>(p.hot, area.planeY + y) + area.planeX : none.data();
        row.dead = flagged ? RowAt<T>(p.dead, area.planeY + y) + area.planeX : none.data();
        row.marks = p.Marks(y);
        row.width = w;
        row.threshold = threshold;
        detect(row);
    }
    if (gather && firstRow < endRow) {
        thread_local std::vector<int> open;
        DefectEdgeAccess<T>::Gather(*edges, raw, p, band, std::max(firstRow, 0),
                                    std::min(endRow, h), open);
    }
}

// For every column, the sample of the nearest unmarked row from `y` on in
// direction `step` (rows 0 and H-1 are never marked, so one is always found).
// Row by row over the columns still open: a frame with long marked stretches
// costs rows read in order, not a walk down every column.
template <class T>
void NearestUnmarkedFrom(const DibImage& raw, const DefectPlanes<T>& p, int y, int step,
                         std::vector<T>& nearest, std::vector<int>& open) {
    const int w = raw.Width();
    const T* first = RowAt<T>(raw, y);
    const T* firstMarks = p.Marks(y);
    nearest.assign(first, first + w);
    open.clear();
    for (int x = 0; x < w; ++x) {
        if (firstMarks[x] != 0) open.push_back(x);
    }
    for (int row = y + step; !open.empty(); row += step) {
        const T* values = RowAt<T>(raw, row);
        const T* marks = p.Marks(row);
        size_t kept = 0;
        for (const int x : open) {
            if (marks[x] == 0) {
                nearest[static_cast<size_t>(x)] = values[x];
            } else {
                open[kept++] = x;
            }
        }
        open.resize(kept);
    }
}

template <class T>
void ReplaceDefectRowsT(DibImage& raw, const MaskPlanes& planes, int firstRow, int endRow,
                        const DefectBandEdges* edges, int band, bool sixteen) {
    const DefectPlanes<T> p(raw, planes, sixteen);
    if (!p.Fits(raw)) return;
    const int w = raw.Width();
    const int h = raw.Height();
    // Rows 0 and H-1 never hold marks.
    const int first = std::max(firstRow, 1);
    const int end = std::min(endRow, h - 1);
    if (first >= end) return;
    const auto& k = kernels::ActiveKernels();
    const auto fillDown = sixteen ? k.nearestUnmarked16 : k.nearestUnmarked8;
    const auto replace = sixteen ? k.replaceMarked16 : k.replaceMarked8;
    thread_local std::vector<T> nearest;
    thread_local std::vector<int> open;
    const bool useEdges =
        edges != nullptr && edges->Bands() > 1 && band >= 0 && band < edges->Bands();
    // Rows 0 and H-1 are the seeds themselves where the band reaches them.
    if (first == 1 || !useEdges) {
        NearestUnmarkedFrom(raw, p, first - 1, -1, nearest, open);
    } else {
        DefectEdgeAccess<T>::Seed(*edges, band, -1, nearest);
    }
    for (int y = first; y < end; ++y)
        fillDown({RowAt<T>(raw, y), nearest.data(), p.Marks(y), w, true});
    if (end == h - 1 || !useEdges) {
        NearestUnmarkedFrom(raw, p, end, +1, nearest, open);
    } else {
        DefectEdgeAccess<T>::Seed(*edges, band, +1, nearest);
    }
    for (int y = end - 1; y >= first; --y) {
        replace({RowAt<T>(raw, y), nearest.data(), p.Marks(y), w, false});
    }
}

template <class T>
void CorrectDefectsT(DibImage& raw, const MaskPlanes& planes, int threshold,
                     const CorrectionWindow& window, bool sixteen) {
    DetectDefectRowsT<T>(raw, planes, threshold, window, 0, raw.Height(), nullptr, 0, sixteen);
    ReplaceDefectRowsT<T>(raw, planes, 0, raw.Height(), nullptr, 0, sixteen);
}

template <class T>
void FlatFieldT(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                int firstRow, int endRow, bool sixteen) {
    const int margin = (window.width == kSensorWidth || window.height == kSensorHeight) ? 2 : 0;
    const CoveredArea a = Cover(raw, window, margin);
    if (a.Empty()) return;
    const DibImage& dark = planes[sixteen ? kMaskDark16 : kMaskDark8];
    const DibImage& white = planes[sixteen ? kMaskWhite16 : kMaskWhite8];
    const auto& k = kernels::ActiveKernels();
    for (int y = std::max(a.firstY, firstRow); y < std::min(a.endY, endRow); ++y) {
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

void FlatFieldRows(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                   int firstRow, int endRow) {
    if (!raw.IsValid() || !planes.Valid()) return;
    if (raw.Bits() == 16) {
        FlatFieldT<uint16_t>(raw, planes, window, firstRow, endRow, true);
    } else if (raw.Bits() == 8) {
        FlatFieldT<uint8_t>(raw, planes, window, firstRow, endRow, false);
    }
}

void FlatField(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window) {
    FlatFieldRows(raw, planes, window, 0, raw.Height());
}

void DefectBandEdges::Prepare(int bands, int width) {
    bands_ = std::max(bands, 0);
    width_ = std::max(width, 0);
    const size_t size = static_cast<size_t>(bands_) * static_cast<size_t>(width_);
    if (top_.size() < size) {
        top_.resize(size);
        bottom_.resize(size);
        hasAny_.resize(size);
    }
}

void DetectDefectRows(const DibImage& raw, const MaskPlanes& planes, int threshold,
                      const CorrectionWindow& window, int firstRow, int endRow,
                      DefectBandEdges* edges, int band) {
    if (!raw.IsValid() || !planes.Valid()) return;
    // Edges prepared for another width are not used.
    if (edges != nullptr && edges->Bands() > 0 && raw.Width() != edges->Width()) edges = nullptr;
    if (raw.Bits() == 16) {
        DetectDefectRowsT<uint16_t>(raw, planes, threshold, window, firstRow, endRow, edges, band,
                                    true);
    } else if (raw.Bits() == 8) {
        DetectDefectRowsT<uint8_t>(raw, planes, threshold, window, firstRow, endRow, edges, band,
                                   false);
    }
}

void ReplaceDefectRows(DibImage& raw, const MaskPlanes& planes, int firstRow, int endRow,
                       const DefectBandEdges* edges, int band) {
    if (!raw.IsValid() || !planes.Valid()) return;
    if (edges != nullptr && edges->Bands() > 0 && raw.Width() != edges->Width()) edges = nullptr;
    if (raw.Bits() == 16) {
        ReplaceDefectRowsT<uint16_t>(raw, planes, firstRow, endRow, edges, band, true);
    } else if (raw.Bits() == 8) {
        ReplaceDefectRowsT<uint8_t>(raw, planes, firstRow, endRow, edges, band, false);
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
