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

// The combined flags and the flat field's reciprocals of one bit depth, over the
// whole sensor.
template <class T>
void BuildDerived(const MaskPlanes& planes, bool sixteen) {
    const DibImage& hot = planes[sixteen ? kMaskHot16 : kMaskHot8];
    const DibImage& dead = planes[sixteen ? kMaskDead16 : kMaskDead8];
    const DibImage& dark = planes[sixteen ? kMaskDark16 : kMaskDark8];
    const DibImage& white = planes[sixteen ? kMaskWhite16 : kMaskWhite8];
    const DibImage& flags = planes[sixteen ? kMaskFlags16 : kMaskFlags8];
    for (int y = 0; y < kSensorHeight; ++y) {
        const T* h = RowAt<T>(hot, y);
        const T* dd = RowAt<T>(dead, y);
        const T* dk = RowAt<T>(dark, y);
        const T* wt = RowAt<T>(white, y);
        uint8_t* f = RowAt<uint8_t>(flags, y);
        for (int x = 0; x < kSensorWidth; ++x) f[x] = (h[x] != 0 || dd[x] != 0) ? 1 : 0;
        if (sixteen) {
            uint16_t* low = RowAt<uint16_t>(planes[kMaskReciprocal16Low], y);
            uint16_t* high = RowAt<uint16_t>(planes[kMaskReciprocal16High], y);
            for (int x = 0; x < kSensorWidth; ++x) {
                const uint32_t r = kernels::FlatFieldReciprocal16(int{wt[x]} - int{dk[x]});
                low[x] = static_cast<uint16_t>(r);
                high[x] = static_cast<uint16_t>(r >> 16);
            }
        } else {
            uint16_t* r = RowAt<uint16_t>(planes[kMaskReciprocal8], y);
            for (int x = 0; x < kSensorWidth; ++x) {
                r[x] = kernels::FlatFieldReciprocal8(int{wt[x]} - int{dk[x]});
            }
        }
    }
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

// A row of zeros of at least `width` samples, standing for the flags where the
// frame lies outside the planes. Grows only, so frames after the first allocate
// nothing.
const uint8_t* NoFlags(int width) {
    thread_local std::vector<uint8_t> none;
    if (none.size() < static_cast<size_t>(width)) none.resize(width, 0);
    return none.data();
}

// The per-thread "nearest unmarked" row of the replacement sweeps, grown only.
template <class T>
T* NearestRow(int width) {
    thread_local std::vector<T> nearest;
    if (nearest.size() < static_cast<size_t>(width)) nearest.resize(width);
    return nearest.data();
}

// The marks use the frame's own layout inside the work plane.
template <class T>
T* MarkRow(const DibImage& raw, const DibImage& work, int y) {
    return reinterpret_cast<T*>(const_cast<uint8_t*>(work.Pixels()) +
                                static_cast<size_t>(y) * raw.RowBytes());
}

// Frames too small to have an interior, or whose marks would not fit the work
// plane, are left as they are.
bool CorrectableFrame(const DibImage& raw, const DibImage& work) {
    return raw.Width() >= 3 && raw.Height() >= 3 &&
           static_cast<size_t>(raw.RowBytes()) * raw.Height() <= work.SizeBytes();
}

template <class T>
void DetectRow(const DibImage& raw, const DibImage& work, const MaskPlanes& planes,
               const CoveredArea& area, bool references, int threshold, int y, bool sixteen) {
    const int w = raw.Width();
    const auto& k = kernels::ActiveKernels();
    kernels::DefectDetectRow row;
    row.above = raw.Row(y - 1);
    row.row = raw.Row(y);
    row.below = raw.Row(y + 1);
    // Defect flags come from the sensor position of the frame, as the flat field's
    // references do; outside the planes, or without references, there are none.
    const bool flagged = references && y < area.endY && area.endX >= w;
    row.flags =
        flagged ? RowAt<uint8_t>(planes[sixteen ? kMaskFlags16 : kMaskFlags8], area.planeY + y) +
                      area.planeX
                : NoFlags(w);
    row.marks = MarkRow<T>(raw, work, y);
    row.width = w;
    row.threshold = threshold;
    (sixteen ? k.detectDefects16 : k.detectDefects8)(row);
}

}  // namespace

// The band edges of one sample depth.
template <class T>
struct DefectEdgeAccess {
    // Top-most and bottom-most unmarked sample of every column in the band's
    // rows [firstRow, endRow), found row by row over the columns still open:
    // on most frames one or two rows settle every column.
    static void Gather(DefectBandEdges& e, const DibImage& raw, const DibImage& work, int band,
                       int firstRow, int endRow) {
        const size_t base = Base(e, band);
        uint16_t* has = &e.hasAny_[base];
        std::fill(has, has + e.width_, uint16_t{0});
        Scan(raw, work, firstRow, endRow, +1, &e.top_[base], has);
        Scan(raw, work, endRow - 1, firstRow - 1, -1, &e.bottom_[base], nullptr);
    }

    // For every column, the nearest unmarked sample above band `band` (from the
    // bottom edges of the bands above) or below it (top edges of those below).
    // The first and last bands hold rows 0 and H-1, which are never marked, so
    // one is always found.
    static void Seed(const DefectBandEdges& e, int band, int step, T* nearest) {
        const size_t w = static_cast<size_t>(e.width_);
        const auto& value = step < 0 ? e.bottom_ : e.top_;
        for (size_t x = 0; x < w; ++x) {
            int k = band + step;
            while (k > 0 && k < e.bands_ - 1 && e.hasAny_[Base(e, k) + x] == 0) k += step;
            nearest[x] = static_cast<T>(value[Base(e, k) + x]);
        }
    }

  private:
    static void Scan(const DibImage& raw, const DibImage& work, int from, int to, int step,
                     uint16_t* value, uint16_t* has) {
        const int w = raw.Width();
        thread_local std::vector<int> open;  // columns still searching; grows only
        open.resize(static_cast<size_t>(w));
        for (int x = 0; x < w; ++x) open[static_cast<size_t>(x)] = x;
        for (int row = from; row != to && !open.empty(); row += step) {
            const T* values = RowAt<T>(raw, row);
            const T* marks = MarkRow<T>(raw, work, row);
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
void DetectRowsT(const DibImage& raw, const MaskPlanes& planes, int threshold,
                 const CorrectionWindow& window, int firstRow, int endRow, DefectBandEdges* edges,
                 int band, bool sixteen) {
    const int w = raw.Width();
    const int h = raw.Height();
    const DibImage* workPlane = planes.plane[sixteen ? kMaskWork16 : kMaskWork8];
    if (workPlane == nullptr || !CorrectableFrame(raw, *workPlane)) return;
    const DibImage& work = *workPlane;
    const CoveredArea area = Cover(raw, window, 0);
    const bool references = planes.HasReferences();
    for (int y = std::max(firstRow, 0); y < std::min(endRow, h); ++y) {
        if (y == 0 || y == h - 1) {
            std::fill(MarkRow<T>(raw, work, y), MarkRow<T>(raw, work, y) + w, T{0});
        } else {
            DetectRow<T>(raw, work, planes, area, references, threshold, y, sixteen);
        }
    }
    // A single band has no neighbour to hand its edges to.
    if (edges != nullptr && edges->Bands() > 1 && band >= 0 && band < edges->Bands() &&
        std::max(firstRow, 0) < std::min(endRow, h)) {
        DefectEdgeAccess<T>::Gather(*edges, raw, work, band, std::max(firstRow, 0),
                                    std::min(endRow, h));
    }
}

// `nearest` takes, per column, the nearest unmarked sample from row y onwards in
// direction `step`. Only unmarked samples are read: the marked ones of other
// bands may be being replaced meanwhile. Rows 0 and H-1 are never marked and end
// every search.
template <class T>
void SeedNearest(const DibImage& raw, const DibImage& work, int y, int step, T* nearest) {
    const int w = raw.Width();
    const int last = step < 0 ? 0 : raw.Height() - 1;
    thread_local std::vector<int> open;  // columns still searching; grows only
    open.clear();
    const T* marks = MarkRow<T>(raw, work, y);
    const T* row = RowAt<T>(raw, y);
    for (int c = 0; c < w; ++c) {
        if (marks[c] == 0 || y == last) {
            nearest[c] = row[c];
        } else {
            open.push_back(c);
        }
    }
    while (!open.empty()) {
        y += step;
        marks = MarkRow<T>(raw, work, y);
        row = RowAt<T>(raw, y);
        size_t keep = 0;
        for (const int c : open) {
            if (marks[c] == 0 || y == last) {
                nearest[c] = row[c];
            } else {
                open[keep++] = c;
            }
        }
        open.resize(keep);
    }
}

// Replacement of marked pixels by the mean of the nearest unmarked pixel in each
// of the four directions. Rows 0 and H-1 and columns 0 and W-1 are never marked,
// so all four are always found; unmarked pixels are never written and only they
// feed replacements, so the result does not depend on the order and a marked
// pixel's own sample is free to hold an intermediate value. Two sweeps over the
// frame, linear however the marks cluster:
//   downwards, every marked pixel takes the nearest unmarked value above it;
//   upwards, it becomes (left + right + that value + nearest unmarked below) / 4.
// Detection of the whole frame comes first (it reads the samples as they came
// from the sensor); interleaving the sweeps with it measured no faster.
// A band of rows [firstRow, endRow) runs both sweeps on its own rows, their
// "nearest unmarked" rows seeded from the unmarked samples above and below the
// band: the same bytes as the whole-frame sweeps, band by band.
template <class T>
void ReplaceRowsT(DibImage& raw, const MaskPlanes& planes, int firstRow, int endRow,
                  const DefectBandEdges* edges, int band, bool sixteen) {
    const int w = raw.Width();
    const int h = raw.Height();
    const DibImage* workPlane = planes.plane[sixteen ? kMaskWork16 : kMaskWork8];
    if (workPlane == nullptr || !CorrectableFrame(raw, *workPlane)) return;
    const DibImage& work = *workPlane;
    const int lo = std::max(firstRow, 1);
    const int hi = std::min(endRow, h - 1);
    if (lo >= hi) return;
    const auto& k = kernels::ActiveKernels();
    const auto fillDown = sixteen ? k.nearestUnmarked16 : k.nearestUnmarked8;
    const auto replace = sixteen ? k.replaceMarked16 : k.replaceMarked8;
    T* nearest = NearestRow<T>(w);
    const bool useEdges =
        edges != nullptr && edges->Bands() > 1 && band >= 0 && band < edges->Bands();
    // Rows 0 and H-1 are the seeds themselves where the band reaches them.
    if (lo == 1 || !useEdges) {
        SeedNearest<T>(raw, work, lo - 1, -1, nearest);
    } else {
        DefectEdgeAccess<T>::Seed(*edges, band, -1, nearest);
    }
    for (int y = lo; y < hi; ++y) {
        fillDown({RowAt<T>(raw, y), nearest, MarkRow<T>(raw, work, y), w, true});
    }
    if (hi == h - 1 || !useEdges) {
        SeedNearest<T>(raw, work, hi, 1, nearest);
    } else {
        DefectEdgeAccess<T>::Seed(*edges, band, +1, nearest);
    }
    for (int y = hi - 1; y >= lo; --y) {
        replace({RowAt<T>(raw, y), nearest, MarkRow<T>(raw, work, y), w, false});
    }
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
        const int x = a.planeX + a.firstX;
        if (sixteen) {
            row.reciprocal = RowAt<uint16_t>(planes[kMaskReciprocal16Low], a.planeY + y) + x;
            row.reciprocalHigh = RowAt<uint16_t>(planes[kMaskReciprocal16High], a.planeY + y) + x;
        } else {
            row.reciprocal = RowAt<uint16_t>(planes[kMaskReciprocal8], a.planeY + y) + x;
        }
        row.count = a.endX - a.firstX;
        (sixteen ? k.flatField16 : k.flatField8)(row);
    }
}

}  // namespace

int MaskPlaneBits(int plane) {
    switch (plane) {
        case kMaskDark16:
        case kMaskWhite16:
        case kMaskHot16:
        case kMaskDead16:
        case kMaskWork16:
        case kMaskReciprocal8:
        case kMaskReciprocal16Low:
        case kMaskReciprocal16High:
            return 16;
        default:
            return 8;
    }
}

namespace {

bool IsWorkPlane(int i) { return i == kMaskWork8 || i == kMaskWork16; }

bool PlaneReady(const DibImage* p, int i) {
    return p != nullptr && p->IsValid() && p->Width() == kSensorWidth &&
           p->Height() == kSensorHeight && p->Bits() == MaskPlaneBits(i);
}

}  // namespace

bool MaskPlanes::Valid() const {
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        if (!PlaneReady(plane[i], i)) return false;
    }
    return true;
}

bool MaskPlanes::HasReferences() const {
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        if (!IsWorkPlane(i) && !PlaneReady(plane[i], i)) return false;
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
    for (const int i : {kMaskWork8, kMaskWork16}) {
        if (planes.plane[i] == nullptr) return false;
        if (!planes.plane[i]->Create(kSensorWidth, kSensorHeight, MaskPlaneBits(i))) return false;
    }
    return AllocateMaskReferences(planes);
}

bool AllocateMaskReferences(const MaskPlanes& planes) {
    for (int i = 0; i < kMaskPlaneCount; ++i) {
        if (IsWorkPlane(i)) continue;
        if (planes.plane[i] == nullptr) return false;
        if (!planes.plane[i]->Create(kSensorWidth, kSensorHeight, MaskPlaneBits(i))) return false;
    }
    Fill<uint8_t>(planes[kMaskWhite8], 255);
    Fill<uint16_t>(planes[kMaskWhite16], 65535);
    BuildDerived<uint8_t>(planes, false);
    BuildDerived<uint16_t>(planes, true);
    return true;
}

bool PrepareDefectWork(const MaskPlanes& planes, int bits) {
    const int i = bits == 16 ? kMaskWork16 : kMaskWork8;
    DibImage* work = planes.plane[i];
    if (work == nullptr) return false;
    return PlaneReady(work, i) || work->Create(kSensorWidth, kSensorHeight, MaskPlaneBits(i));
}

void BuildDefectFlags(const MaskPlanes& planes, int bits, int which) {
    if (!planes.HasReferences()) return;
    const bool hot = which == 0;
    if (bits == 16) {
        BuildFlags<uint16_t>(planes[hot ? kMaskDark16 : kMaskWhite16],
                             planes[hot ? kMaskHot16 : kMaskDead16], hot, hot ? 0x3000 : 0x1000);
        BuildDerived<uint16_t>(planes, true);
    } else {
        BuildFlags<uint8_t>(planes[hot ? kMaskDark8 : kMaskWhite8],
                            planes[hot ? kMaskHot8 : kMaskDead8], hot, hot ? 192 : 64);
        BuildDerived<uint8_t>(planes, false);
    }
}

void FlatFieldRows(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                   int firstRow, int endRow) {
    // The initial references map every sample to itself: (s * 2^bits) / (2^bits - 1)
    // rounds down to s, and full scale clamps to full scale.
    if (!raw.IsValid() || !planes.HasReferences()) return;
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
    if (!raw.IsValid()) return;
    // Edges prepared for another width are not used.
    if (edges != nullptr && edges->Width() != raw.Width()) edges = nullptr;
    if (raw.Bits() == 16) {
        DetectRowsT<uint16_t>(raw, planes, threshold, window, firstRow, endRow, edges, band, true);
    } else if (raw.Bits() == 8) {
        DetectRowsT<uint8_t>(raw, planes, threshold, window, firstRow, endRow, edges, band, false);
    }
}

void ReplaceDefectRows(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                       int firstRow, int endRow, const DefectBandEdges* edges, int band) {
    (void)window;  // the marks already hold where the frame lies on the sensor
    if (!raw.IsValid()) return;
    if (edges != nullptr && edges->Width() != raw.Width()) edges = nullptr;
    if (raw.Bits() == 16) {
        ReplaceRowsT<uint16_t>(raw, planes, firstRow, endRow, edges, band, true);
    } else if (raw.Bits() == 8) {
        ReplaceRowsT<uint8_t>(raw, planes, firstRow, endRow, edges, band, false);
    }
}

void CorrectDefects(DibImage& raw, const MaskPlanes& planes, int threshold,
                    const CorrectionWindow& window) {
    DetectDefectRows(raw, planes, threshold, window, 0, raw.Height());
    ReplaceDefectRows(raw, planes, window, 0, raw.Height());
}

bool UpdateMaskReference(const MaskPlanes& planes, const DibImage& raw, int which) {
    if (!planes.HasReferences() || !raw.IsValid() || (raw.Bits() != 8 && raw.Bits() != 16)) {
        return true;
    }
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
