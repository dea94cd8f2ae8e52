// The defect-pixel mask: dark and white reference frames of the full sensor, the
// defect flags derived from them, and the two corrections that use them
// (flat field and defect replacement).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "foundation/DibImage.h"

namespace veltcam {

enum MaskPlane : int {
    kMaskDark8 = 0,
    kMaskWhite8,
    kMaskDark16,
    kMaskWhite16,
    kMaskHot8,
    kMaskDead8,
    kMaskHot16,
    kMaskDead16,
    kMaskWork8,  // per-frame marks of pixels to replace
    kMaskWork16,
    // Derived from the planes above whenever the flags are rebuilt, for the
    // per-frame corrections: hot or dead in one byte per pixel (8 bits per pixel
    // for both depths), and the reciprocals of the flat field's spans
    // (kernels::FlatFieldReciprocal8, and FlatFieldReciprocal16 in halves).
    kMaskFlags8,
    kMaskFlags16,
    kMaskReciprocal8,
    kMaskReciprocal16Low,
    kMaskReciprocal16High,
    kMaskPlaneCount,
};

// Bits per pixel of a mask plane.
int MaskPlaneBits(int plane);

// Borrowed pointers to the mask planes (the SDK object owns them).
struct MaskPlanes {
    std::array<DibImage*, kMaskPlaneCount> plane{};

    DibImage& operator[](int i) const { return *plane[i]; }
    // True when every plane is allocated at the full sensor size.
    bool Valid() const;
    // True when the references and the planes derived from them (all but the two
    // work planes) are allocated. A camera whose mask was never loaded or taken
    // has none: its mask is the initial one (dark 0, white full scale, no defect
    // flags), whose flat field keeps every sample as it is, so the corrections
    // need no planes for it.
    bool HasReferences() const;
};

// Setting IDs of the two correction switches and the values they accept.
constexpr int kIdDotFilter = 102;
constexpr int kIdMaskFilter = 103;

struct CorrectionSwitches {
    int maskFilter = 0;  // flat field
    int dotFilter = 0;   // defect replacement

    static bool IsValidValue(int value) { return value == 0 || value == 1; }
    // Stores a switch by setting ID; false (nothing stored) for another ID or value.
    bool Set(int id, int value);
    // -1 for an ID that is not a correction switch.
    int Get(int id) const;
};

// Thresholds of the defect detection for 8- and 16-bit frames.
constexpr int kDefectThreshold8 = 30;
constexpr int kDefectThreshold16 = 480;

// Where a frame lies on the sensor: the capture window and its sub-sampling.
struct CorrectionWindow {
    int width = 0;  // capture window, sensor pixels
    int height = 0;
    int x = 0;
    int y = 0;
    int subSampleMode = 0;
};

// Creates all planes at the sensor size with their initial content: dark 0, white
// full scale, flags clear. False when memory runs out.
bool AllocateMaskPlanes(const MaskPlanes& planes);
// The same for the references and their derived planes only (HasReferences),
// leaving the work planes alone.
bool AllocateMaskReferences(const MaskPlanes& planes);
// The work plane that defect replacement of `bits`-bit frames marks its pixels
// in, allocated at the sensor size unless it already is. False when memory runs
// out or the set has no such plane.
bool PrepareDefectWork(const MaskPlanes& planes, int bits);

// Rebuilds the hot flags (which 0, from the dark reference) or the dead flags
// (otherwise, from the white reference) of one bit depth, and the planes derived
// from both references of that depth. Whoever writes a reference calls it.
void BuildDefectFlags(const MaskPlanes& planes, int bits, int which);

// Flat-field correction of an 8- or 16-bit raw frame; nothing to do without
// references.
void FlatField(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window);
// The same for frame rows [firstRow, endRow) only (clipped to the frame and its
// covered area). Rows are independent: disjoint ranges may run on several
// threads at once.
void FlatFieldRows(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                   int firstRow, int endRow);

// Marks defect and outlying pixels in the work plane, then replaces each marked
// pixel by the mean of the nearest unmarked pixels left, right, above and below.
// Without references only outlying pixels are marked. Needs the work plane of the
// frame's depth (PrepareDefectWork); without it the frame is left as it is.
void CorrectDefects(DibImage& raw, const MaskPlanes& planes, int threshold,
                    const CorrectionWindow& window);

// CorrectDefects in bands of rows, for several threads at once. First every band
// runs DetectDefectRows, which writes the marks of its rows [firstRow, endRow)
// into the work plane (reading raw rows y-1..y+1, writing no sample); once all
// rows of the frame are marked, every band runs ReplaceDefectRows, which writes
// only the marked samples of its own rows and reads only unmarked samples of
// others. Disjoint bands in any order and on any threads give the bytes of
// CorrectDefects. Per-thread scratch rows are kept and grow only, so a thread
// allocates nothing after its first frame of a size.
//
// A band's sweeps start from the nearest unmarked samples beyond its edges.
// Bands running at the same time must take them from `edges` (prepared for the
// frame's bands and width, the same `band` index in both steps): detection
// keeps each band's top-most and bottom-most unmarked sample per column while
// no sample is being written, and replacement reads them from there. Without
// `edges`, replacement looks in the other bands' rows itself, which is only
// safe when no other band is being replaced meanwhile (the vector sweeps
// rewrite whole rows, unmarked samples included, with the same values).
class DefectBandEdges {
  public:
    // Room for `bands` bands of `width` columns; grows, never shrinks.
    void Prepare(int bands, int width);
    int Bands() const { return bands_; }
    int Width() const { return width_; }

  private:
    template <class T>
    friend struct DefectEdgeAccess;
    int bands_ = 0;
    int width_ = 0;
    // [band * width + column]: the top-most and bottom-most unmarked sample of
    // the column in the band's rows, and whether there is one.
    std::vector<uint16_t> top_, bottom_, hasAny_;
};
void DetectDefectRows(const DibImage& raw, const MaskPlanes& planes, int threshold,
                      const CorrectionWindow& window, int firstRow, int endRow,
                      DefectBandEdges* edges = nullptr, int band = 0);
void ReplaceDefectRows(DibImage& raw, const MaskPlanes& planes, const CorrectionWindow& window,
                       int firstRow, int endRow, const DefectBandEdges* edges = nullptr,
                       int band = 0);

// Takes a full-sensor raw frame as dark (which 0) or white (1) reference of its
// bit depth and rebuilds the matching flags. Any other frame size copies nothing.
// False only for a full-size frame with another `which` (nothing copied then).
bool UpdateMaskReference(const MaskPlanes& planes, const DibImage& raw, int which);

}  // namespace veltcam
