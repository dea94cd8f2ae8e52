#include "imaging/ProcessFrame.h"

#include <algorithm>
#include <array>
#include <functional>
#include <new>

#include "imaging/BayerPhase.h"
#include "imaging/Conversions.h"
#include "imaging/Stages.h"

namespace veltcam {
namespace {

bool IsSixteenBitMode(int index) {
    return index == kColorMono16 || index == kColorRgb48 || index == kColorRgb64;
}

// Bands per thread: parts of a frame differ in work (defects cluster, the
// sharpening and hue stages cost more on busy content), so a thread that
// finishes early takes another band instead of waiting for the slowest one.
constexpr int kBandsPerThread = 4;

// A frame cut into bands of whole rows for the workers: `count` bands of `rows`
// rows (the last one shorter), at most one per row.
class RowBands {
  public:
    RowBands(const PipelineFrame& frame, int height, int maxCount)
        : workers_(frame.workers), height_(std::max(height, 0)) {
        const int threads = workers_ != nullptr ? workers_->ThreadLimit() : 1;
        int wanted = frame.bands > 0 ? frame.bands : (threads > 1 ? threads * kBandsPerThread : 1);
        if (workers_ == nullptr) wanted = 1;
        wanted = std::clamp(wanted, 1, std::max(1, std::min(height_, maxCount)));
        rows_ = std::max(1, (height_ + wanted - 1) / wanted);
        count_ = std::max(1, (height_ + rows_ - 1) / rows_);
    }

    int Count() const { return count_; }
    int First(int band) const { return band * rows_; }
    int End(int band) const { return std::min(height_, (band + 1) * rows_); }

    // body(band, firstRow, endRow, worker) for every band, on the workers.
    template <class Body>
    void Run(const Body& body) const {
        if (count_ == 1 || workers_ == nullptr) {
            for (int b = 0; b < count_; ++b) body(b, First(b), End(b), 0);
            return;
        }
        auto task = [&](int band, int worker) { body(band, First(band), End(band), worker); };
        workers_->Run(count_, std::cref(task));
    }

  private:
    CPipelineWorkers* workers_;
    int height_;
    int rows_ = 1;
    int count_ = 1;
};

constexpr int kAnyBandCount = 1 << 30;
// Statistics go into one slot per band on the stack: their bands are cut apart
// from the others, as the totals do not depend on the cut.
constexpr int kStatBands = kMaxPipelineThreads;

void WhiteBalance(PipelineFrame& frame, const DibImage& raw, int phase) {
    ImageSettings& s = *frame.settings;
    const RowBands bands(frame, raw.Height(), kStatBands);
    std::array<stages::BayerSums, kStatBands> parts{};
    bands.Run([&](int band, int first, int end, int) {
        stages::AddBayerSums(raw, phase, first, end, parts[static_cast<size_t>(band)]);
    });
    stages::BayerSums total;
    for (int b = 0; b < bands.Count(); ++b) total.Add(parts[static_cast<size_t>(b)]);
    stages::WhiteBalanceFromSums(total, s);
}

// The white balance (when on) and the demosaic parameters of a colour frame.
stages::DemosaicParams PrepareDemosaic(PipelineFrame& frame, const DibImage& raw) {
    ImageSettings& s = *frame.settings;
    const int phase =
        AdjustedBayerPhase(s.bayerMode, frame.mirrorV, frame.mirrorH, frame.subSampleMode);
    if (s.bayerGainAuto != 0) {
        WhiteBalance(frame, raw, phase);
        if (frame.host != nullptr) frame.host->ImageSettingsChanged();
        std::array<bool, 2>* once = frame.whiteBalanceOnce;
        if (once != nullptr && (*once)[0] && (*once)[1]) {
            s.bayerGainAuto = 0;
            *once = {false, false};
        }
    }
    return {phase, s.bayerGainRed, s.bayerGainBlue};
}

void GrayModeOne(PipelineFrame& frame, DibImage& raw) {
    ImageSettings& s = *frame.settings;
    if (s.grayBalanceFrames != 0) {
        const RowBands bands(frame, raw.Height(), kStatBands);
        std::array<stages::GraySums, kStatBands> parts{};
        bands.Run([&](int band, int first, int end, int) {
            stages::AddGraySums(raw, s.bayerMode, first, end, parts[static_cast<size_t>(band)]);
        });
        stages::GraySums total;
        for (int b = 0; b < bands.Count(); ++b) total.Add(parts[static_cast<size_t>(b)]);
        stages::FinishGrayBalance(total, s, frame.host);
    }
    RowBands(frame, raw.Height(), kAnyBandCount).Run([&](int, int first, int end, int) {
        stages::GrayGainsRows(raw, s, first, end);
    });
}

void GrayModeTwo(PipelineFrame& frame, DibImage& raw, DibImage& color24) {
    const stages::DemosaicParams demosaic = PrepareDemosaic(frame, raw);
    const RowBands bands(frame, raw.Height(), kAnyBandCount);
    // Every row is demosaiced before any raw row is overwritten: the demosaic
    // reads two rows either side.
    bands.Run([&](int, int first, int end, int) {
        stages::DemosaicRows(color24, raw, demosaic, first, end);
    });
    bands.Run(
        [&](int, int first, int end, int) { stages::ColorToGrayRows(raw, color24, first, end); });
}

void Corrections(PipelineFrame& frame, DibImage& raw) {
    // Mask loading and saving never see half-corrected data, nor the corrections
    // half-loaded references.
    std::unique_lock<std::mutex> lock;
    if (frame.maskLock != nullptr) lock = std::unique_lock<std::mutex>(*frame.maskLock);
    const RowBands bands(frame, raw.Height(), kAnyBandCount);
    if (frame.corrections.maskFilter != 0) {
        bands.Run([&](int, int first, int end, int) {
            FlatFieldRows(raw, frame.mask, frame.window, first, end);
        });
    }
    if (frame.corrections.dotFilter != 0) {
        // The marks' plane comes with the first frame of its depth that needs it;
        // without it the frame would go out uncorrected as if nothing had failed.
        if (!PrepareDefectWork(frame.mask, raw.Bits())) throw std::bad_alloc();
        const int threshold = raw.Bits() == 16 ? kDefectThreshold16 : kDefectThreshold8;
        // Marks of every row first: detection reads the rows above and below as
        // they came out of the flat field.
        // Kept by the calling (display) thread from frame to frame: no allocation
        // once the bands are known. The workers reach it through the reference
        // (a thread_local named in the tasks would be each worker's own).
        thread_local DefectBandEdges callerEdges;
        DefectBandEdges& edges = callerEdges;
        edges.Prepare(bands.Count(), raw.Width());
        bands.Run([&](int band, int first, int end, int) {
            DetectDefectRows(raw, frame.mask, threshold, frame.window, first, end, &edges, band);
        });
        bands.Run([&](int band, int first, int end, int) {
            ReplaceDefectRows(raw, frame.mask, frame.window, first, end, &edges, band);
        });
    }
}

// The tone stages of one conversion, fixed for the frame.
struct ToneStages {
    bool hue = false;
    int hueValue = 0;
    int saturation = 0;
    int brightness = 0;
    int sharpness = 0;
    const uint8_t* curve8 = nullptr;  // gamma and contrast in one table
    const uint16_t* curve16 = nullptr;
    bool Curve() const { return curve8 != nullptr || curve16 != nullptr; }
};

// Gamma and contrast follow each other directly: one table does both. The
// combined table is kept per thread and rebuilt only when either setting moves.
ToneStages PrepareTones(const PipelineFrame& frame, const DibImage& out) {
    const ImageSettings& s = *frame.settings;
    ToneStages t;
    const bool sixteen = out.Bits() == 16 || out.Bits() == 48 || out.Bits() == 64;
    t.hue = out.Bits() >= 24 && (s.hue != 0 || s.saturation != 0);
    t.hueValue = s.hue;
    t.saturation = s.saturation;
    t.brightness = s.brightness;
    t.sharpness = frame.sharpenWork != nullptr ? s.sharpness : 0;
    if (s.gamma == 100 && s.contrast == 0) return t;
    if (sixteen) {
        const uint16_t* g = s.gamma != 100 ? stages::GammaTable16(s.gamma) : nullptr;
        const uint16_t* c = s.contrast != 0 ? stages::ContrastTable16(s.contrast) : nullptr;
        t.curve16 = g != nullptr ? g : c;
        if (g != nullptr && c != nullptr)
            t.curve16 = stages::GammaContrastTable16(s.gamma, s.contrast);
    } else {
        const uint8_t* g = s.gamma != 100 ? stages::GammaTable8(s.gamma) : nullptr;
        const uint8_t* c = s.contrast != 0 ? stages::ContrastTable8(s.contrast) : nullptr;
        t.curve8 = g != nullptr ? g : c;
        if (g != nullptr && c != nullptr)
            t.curve8 = stages::GammaContrastTable8(s.gamma, s.contrast);
    }
    return t;
}

// Where a band's conversion takes its rows from: the raw frame through the
// demosaic (colour), or the output itself (monochrome, converted in place).
struct ConversionSource {
    const DibImage* raw = nullptr;  // null: monochrome
    stages::DemosaicParams demosaic;
    // Monochrome: the rows next to each band as they were before any band
    // changed them (three per band: two above, one below).
    const DibImage* edges = nullptr;
};

// Rows are taken through every stage a few at a time (kBandRows), so that they
// are still in the processor's cache for the next stage instead of every stage
// walking the whole frame through memory. Each stage sees exactly the rows it
// would see frame by frame: the sharpening lags one row behind, as its 4 x 4
// block reaches one row below the pixel.
constexpr int kBandRows = stages::kSharpenBandRows;

class BandConversion {
  public:
    BandConversion(DibImage& out, const ConversionSource& source, const ToneStages& tones)
        : out_(out), source_(source), tones_(tones) {}

    // Rows [first, end) of the output through every stage. `work` is this
    // thread's sharpening ring; `band` indexes the monochrome edge rows.
    void Convert(int band, int first, int end, DibImage& work) const {
        const int height = out_.Height();
        const bool sharpen = tones_.sharpness != 0 && PrepareRing(work);
        if (tones_.sharpness != 0 && !sharpen) return;
        // The two rows above the band, as its neighbour has them before sharpening.
        if (sharpen) {
            for (int y = std::max(first - 2, 0); y < first; ++y) EdgeRow(band, y, first, work);
        }
        int finished = first;  // rows before this one have passed every stage
        for (int top = first; top < end; top += kBandRows) {
            const int bottom = std::min(end, top + kBandRows);
            if (source_.raw != nullptr) {
                stages::DemosaicRows(out_, *source_.raw, source_.demosaic, top, bottom);
            }
            Tones(out_, top, bottom);
            // Rows that nothing later changes: all of them at the frame's end,
            // otherwise all but the last, whose sharpening needs the next row.
            int ready = bottom;
            if (sharpen) {
                stages::KeepRowsForSharpening(work, out_, top, bottom);
                ready = bottom == height ? bottom : bottom - 1;
                stages::SharpenFromRing(out_, work, tones_.sharpness, finished, ready);
            }
            Brighten(finished, ready);
            finished = ready;
        }
        if (finished < end) {
            // The band's last row waits for the first row of the band below.
            EdgeRow(band, end, first, work);
            stages::SharpenFromRing(out_, work, tones_.sharpness, finished, end);
            Brighten(finished, end);
        }
    }

  private:
    bool PrepareRing(DibImage& work) const { return stages::PrepareSharpenRing(work, out_); }

    void Tones(DibImage& image, int first, int end) const {
        if (tones_.hue) {
            stages::HueSaturationRows(image, tones_.hueValue, tones_.saturation, first, end);
        }
        if (tones_.Curve())
            stages::ApplyCurveRows(image, tones_.curve8, tones_.curve16, first, end);
    }

    void Brighten(int first, int end) const {
        if (tones_.brightness != 0 && first < end) {
            stages::BrightnessRows(out_, tones_.brightness, first, end);
        }
    }

    // Puts frame row y of a neighbouring band, unsharpened, into this thread's
    // ring: computed again from the raw frame for colour, from the saved edge
    // rows for monochrome.
    void EdgeRow(int band, int y, int first, DibImage& work) const {
        const int slot = stages::SharpenRingSlot(out_.Height(), y);
        if (source_.raw != nullptr) {
            stages::DemosaicRowsAt(work, slot, *source_.raw, source_.demosaic, y, y + 1);
        } else {
            const int edge = 3 * band + (y < first ? 2 - (first - y) : 2);
            std::copy_n(source_.edges->Row(edge), out_.RowBytes(), work.Row(slot));
        }
        Tones(work, slot, slot + 1);
    }

    DibImage& out_;
    const ConversionSource& source_;
    const ToneStages& tones_;
};

void Convert(PipelineFrame& frame, DibImage& out, const ConversionSource& source, DibImage* edges) {
    const ToneStages tones = PrepareTones(frame, out);
    const RowBands bands(frame, out.Height(), kAnyBandCount);
    ConversionSource src = source;
    if (src.raw == nullptr && tones.sharpness != 0 && bands.Count() > 1) {
        // Monochrome converts in place: keep the rows each band needs from its
        // neighbours before any band changes them.
        if (edges == nullptr) return;
        if (edges->Width() != out.Width() || edges->Height() != 3 * bands.Count() ||
            edges->Bits() != out.Bits()) {
            if (!edges->Create(out.Width(), 3 * bands.Count(), out.Bits())) return;
        }
        for (int b = 0; b < bands.Count(); ++b) {
            const int rows[3] = {bands.First(b) - 2, bands.First(b) - 1, bands.End(b)};
            for (int i = 0; i < 3; ++i) {
                if (rows[i] >= 0 && rows[i] < out.Height()) {
                    std::copy_n(out.Row(rows[i]), out.RowBytes(), edges->Row(3 * b + i));
                }
            }
        }
        src.edges = edges;
    }
    const BandConversion conversion(out, src, tones);
    bands.Run([&](int band, int first, int end, int worker) {
        DibImage& work = worker == 0 ? *frame.sharpenWork : frame.workers->Scratch(worker);
        conversion.Convert(band, first, end, work);
    });
}

}  // namespace

DibImage* RawImageOf(const PipelineFrame& frame) {
    if (frame.colorModeIndex < kColorMono8 || frame.colorModeIndex > kColorRgb64) return nullptr;
    return IsSixteenBitMode(frame.colorModeIndex) ? frame.raw16 : frame.raw8;
}

DibImage* OutputImageOf(const PipelineFrame& frame) {
    switch (frame.colorModeIndex) {
        case kColorMono8:
            return frame.raw8;
        case kColorMono16:
            return frame.raw16;
        case kColorRgb24:
            return frame.color24;
        case kColorRgb32:
            return frame.color32;
        case kColorRgb48:
            return frame.color48;
        case kColorRgb64:
            return frame.color64;
        default:
            return nullptr;
    }
}

void ProcessFrame(PipelineFrame& frame) {
    DibImage* raw = RawImageOf(frame);
    if (raw == nullptr || !raw->IsValid() || frame.settings == nullptr) return;
    ImageSettings& s = *frame.settings;
    const int mode = frame.colorModeIndex;

    // Auto iris meters five small windows (a twentieth of the frame): not worth
    // spreading over threads.
    if ((frame.autoIrisMode == 1 || frame.autoIrisMode == 2) && frame.host != nullptr) {
        stages::AutoIris(*raw, frame.autoIrisMode, *frame.host);
    }

    if (frame.corrections.maskFilter != 0 || frame.corrections.dotFilter != 0) {
        Corrections(frame, *raw);
    }

    if (mode == kColorMono8 || mode == kColorMono16) {
        if (s.grayMode == 1) {
            GrayModeOne(frame, *raw);
        } else if (s.grayMode == 2 && mode == kColorMono8 && frame.color24 != nullptr) {
            // The 16-bit monochrome output has no 8-bit colour source to take gray
            // values from, so gray mode 2 leaves it as it is. The colour image it
            // takes them from is made with the first frame that needs it.
            DibImage& color = *frame.color24;
            if ((color.Width() != raw->Width() || color.Height() != raw->Height() ||
                 color.Bits() != 24) &&
                !color.Create(raw->Width(), raw->Height(), 24)) {
                throw std::bad_alloc();
            }
            GrayModeTwo(frame, *raw, color);
        }
    }

    MirrorRaw(*raw, frame.mirrorH && !frame.sensorMirrorsH, frame.mirrorV && !frame.sensorMirrorsV);

    DibImage* out = OutputImageOf(frame);
    if (out == nullptr || !out->IsValid()) return;
    ConversionSource source;
    if (mode >= kColorRgb24) {
        if (out->Width() != raw->Width() || out->Height() != raw->Height()) return;
        source.raw = raw;
        source.demosaic = PrepareDemosaic(frame, *raw);
    }
    Convert(frame, *out, source, frame.workers != nullptr ? &frame.workers->Edges() : nullptr);
}

}  // namespace veltcam
