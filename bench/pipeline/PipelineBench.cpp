// Figures of the image pipeline on full frames, with the OpenCV operations that
// come nearest to each and the memory copies that bound them, measured in one
// run so the ratios printed at the end compare like with like. (The Windows
// build, run under Wine, has no OpenCV rows.)
//
//   bench_pipeline [--benchmark_filter=...] [--benchmark_min_time=...]
//
// VELTCAM_SIMD_TARGET=avx2 (or sse4, avx3, ...) caps the kernels' instruction
// set, to compare the levels of one processor in one place.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/ModelConstants.h"
#include "imaging/BayerPhase.h"
#include "imaging/CPipelineWorkers.h"
#include "imaging/DefectMask.h"
#include "imaging/ProcessFrame.h"
#include "imaging/Stages.h"
#include "imaging/kernels/Kernels.h"

#if VELTCAM_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace veltcam {
namespace {

constexpr int kW = kSensorWidth;
constexpr int kH = kSensorHeight;

// A plausible camera frame: colour bars over the top half and a gray ramp with
// a colour tint below, in the Bayer mosaic, with a little noise and a few hot
// pixels. The bars differ between channels by about as much as a real scene's
// colours do (levels 90..170), so the defect detection finds what a sensor gives
// it rather than a mosaic in which every pixel is an outlier.
template <class T>
void FillScene(DibImage& raw, int shift) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> noise(-3, 3);
    for (int y = 0; y < kH; ++y) {
        T* row = reinterpret_cast<T*>(raw.Row(y));
        for (int x = 0; x < kW; ++x) {
            const int c = BayerColorAt(3, x, y);
            int v = 40 + (x * 150) / kW + (y * 40) / kH + 10 * c;
            if (y < kH / 2) v = ((x / 256) & (1 << c)) ? 170 : 90;
            v = std::clamp(v + noise(rng), 0, 255);
            if ((x * 131 + y * 71) % 100003 == 0) v = 255;
            row[x] = static_cast<T>(v << shift);
        }
    }
}

struct Frames {
    Frames() {
        raw8.Create(kW, kH, 8);
        raw16.Create(kW, kH, 16);
        FillScene<uint8_t>(raw8, 0);
        FillScene<uint16_t>(raw16, 8);
        color24.Create(kW, kH, 24);
        color48.Create(kW, kH, 48);
        for (int i = 0; i < kMaskPlaneCount; ++i) mask.plane[i] = &maskImages[i];
        AllocateMaskPlanes(mask);
        // Some defects in the references, as a calibrated sensor would have.
        for (int i = 0; i < 200; ++i) {
            maskImages[kMaskDark8].Row(3 + (i * 37) % (kH - 6))[3 + (i * 101) % (kW - 6)] = 250;
        }
        for (int bits : {8, 16}) {
            BuildDefectFlags(mask, bits, 0);
            BuildDefectFlags(mask, bits, 1);
        }
#if VELTCAM_BENCH_OPENCV
        bayer8 = cv::Mat(kH, kW, CV_8UC1, raw8.Pixels(), raw8.RowBytes());
        bayer16 = cv::Mat(kH, kW, CV_16UC1, raw16.Pixels(), raw16.RowBytes());
#endif
    }
    DibImage raw8, raw16, color24, color48;
    DibImage maskImages[kMaskPlaneCount];
    MaskPlanes mask;
#if VELTCAM_BENCH_OPENCV
    cv::Mat bayer8, bayer16;
#endif
};

Frames& F() {
    static Frames frames;
    return frames;
}

const stages::DemosaicParams kDemosaic{3, 110, 95};

// ------------------------------------------------------------------ demosaic

void DemosaicWith(benchmark::State& state, const DibImage& raw, DibImage& out,
                  const kernels::KernelSet* set) {
    kernels::OverrideKernels(set);
    for (auto _ : state) {
        stages::Demosaic(out, raw, kDemosaic);
        benchmark::DoNotOptimize(out.Pixels());
        benchmark::ClobberMemory();
    }
    kernels::OverrideKernels(nullptr);
}

void BM_Demosaic8(benchmark::State& s) { DemosaicWith(s, F().raw8, F().color24, nullptr); }
void BM_Demosaic16(benchmark::State& s) { DemosaicWith(s, F().raw16, F().color48, nullptr); }
void BM_Demosaic8_Scalar(benchmark::State& s) {
    DemosaicWith(s, F().raw8, F().color24, &kernels::ScalarKernels());
}
void BM_Demosaic16_Scalar(benchmark::State& s) {
    DemosaicWith(s, F().raw16, F().color48, &kernels::ScalarKernels());
}

#if VELTCAM_BENCH_OPENCV
void BM_OpenCV_Bilinear8(benchmark::State& state) {
    cv::Mat out;
    for (auto _ : state) {
        cv::cvtColor(F().bayer8, out, cv::COLOR_BayerGR2BGR);
        benchmark::DoNotOptimize(out.data);
    }
}

void BM_OpenCV_Bilinear16(benchmark::State& state) {
    cv::Mat out;
    for (auto _ : state) {
        cv::cvtColor(F().bayer16, out, cv::COLOR_BayerGR2BGR);
        benchmark::DoNotOptimize(out.data);
    }
}

#endif

// Reads the 3 MiB raw frame once and writes 9 MiB of output: the memory traffic
// a demosaic cannot avoid.
void BM_Copy_3to9MiB(benchmark::State& state) {
    const DibImage& raw = F().raw8;
    DibImage& out = F().color24;
    for (auto _ : state) {
        for (int y = 0; y < kH; ++y) {
            const uint8_t* s = raw.Row(y);
            uint8_t* d = out.Row(y);
            std::memcpy(d, s, kW);
            std::memcpy(d + kW, s, kW);
            std::memcpy(d + 2 * kW, s, kW);
        }
        benchmark::DoNotOptimize(out.Pixels());
        benchmark::ClobberMemory();
    }
}

// ------------------------------------------------------------------ whole frame

ImageSettings AllStages() {
    ImageSettings s;
    s.bayerGainRed = 110;
    s.bayerGainGreen = 100;
    s.bayerGainBlue = 95;
    s.bayerMode = 3;
    s.gamma = 80;
    s.contrast = 20;
    s.hue = 15;
    s.saturation = 40;
    s.sharpness = 10;
    s.brightness = 20;
    s.grayGain = {128, 128, 128, 128};
    s.grayOffset = {128, 128, 128, 128};
    return s;
}

// Every stage on (both corrections, white balance gains, hue and saturation,
// gamma, contrast, sharpness, brightness) for one colour mode, on `threads`
// threads (the pool's default when 0).
void ProcessAll(benchmark::State& state, int mode, const kernels::KernelSet* set) {
    kernels::OverrideKernels(set);
    Frames& f = F();
    const bool sixteen = mode == kColorRgb48;
    const DibImage& source = sixteen ? f.raw16 : f.raw8;
    DibImage raw, work;
    raw.CreateLike(source);
    ImageSettings settings = AllStages();
    std::mutex maskLock;
    CPipelineWorkers workers(static_cast<int>(state.range(0)));
    PipelineFrame frame;
    frame.colorModeIndex = mode;
    frame.settings = &settings;
    frame.corrections = {1, 1};
    frame.window = {kW, kH, 0, 0, 0};
    frame.mask = f.mask;
    frame.maskLock = &maskLock;
    frame.raw8 = sixteen ? nullptr : &raw;
    frame.raw16 = sixteen ? &raw : nullptr;
    frame.color24 = &f.color24;
    frame.color48 = &f.color48;
    frame.sharpenWork = &work;
    frame.workers = &workers;
    for (auto _ : state) {
        // A fresh raw frame each time, as the camera delivers one.
        state.PauseTiming();
        std::memcpy(raw.Pixels(), source.Pixels(), raw.SizeBytes());
        state.ResumeTiming();
        ProcessFrame(frame);
        benchmark::DoNotOptimize(OutputImageOf(frame)->Pixels());
        benchmark::ClobberMemory();
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    kernels::OverrideKernels(nullptr);
}

void BM_ProcessFrameAll24(benchmark::State& s) { ProcessAll(s, kColorRgb24, nullptr); }
void BM_ProcessFrameAll48(benchmark::State& s) { ProcessAll(s, kColorRgb48, nullptr); }
void BM_ProcessFrameAll8(benchmark::State& s) { ProcessAll(s, kColorMono8, nullptr); }
void BM_ProcessFrameAll24_Scalar(benchmark::State& s) {
    ProcessAll(s, kColorRgb24, &kernels::ScalarKernels());
}

#if VELTCAM_BENCH_OPENCV
// The nearest composition of OpenCV operations: bilinear demosaic, a BGR -> HSV
// -> BGR round trip for hue and saturation, two lookup tables for gamma and
// contrast, a 4 x 4 box blur with a weighted sum for the unsharp mask, and a
// scaled absolute conversion for brightness.
void BM_OpenCV_Composition24(benchmark::State& state) {
    cv::Mat gammaLut(1, 256, CV_8U), contrastLut(1, 256, CV_8U);
    stages::BuildGammaTable8(80, gammaLut.data);
    stages::BuildContrastTable8(20, contrastLut.data);
    cv::Mat bgr, hsv, blurred, sharp, out;
    for (auto _ : state) {
        cv::cvtColor(F().bayer8, bgr, cv::COLOR_BayerGR2BGR);
        cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
        cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
        cv::LUT(bgr, gammaLut, bgr);
        cv::LUT(bgr, contrastLut, bgr);
        cv::blur(bgr, blurred, cv::Size(4, 4));
        cv::addWeighted(bgr, 2.0, blurred, -1.0, 0.0, sharp);
        cv::convertScaleAbs(sharp, out, 1.2, 0.0);
        benchmark::DoNotOptimize(out.data);
    }
}

// The same composition on the 16-bit frame. OpenCV's hue conversion and lookup
// tables take 8-bit or float images only, so the colour and curve steps run in
// float between the 16-bit demosaic and the 16-bit unsharp mask.
void BM_OpenCV_Composition48(benchmark::State& state) {
    cv::Mat bgr16, bgr, hsv, blurred, sharp, out;
    for (auto _ : state) {
        cv::cvtColor(F().bayer16, bgr16, cv::COLOR_BayerGR2BGR);
        bgr16.convertTo(bgr, CV_32F, 1.0 / 65535);
        cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
        cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
        cv::pow(bgr, 1.25, bgr);
        bgr.convertTo(bgr16, CV_16U, 65535 * 1.08, -65535 * 0.04);
        cv::blur(bgr16, blurred, cv::Size(4, 4));
        cv::addWeighted(bgr16, 2.0, blurred, -1.0, 0.0, sharp);
        sharp.convertTo(out, CV_16U, 1.2);
        benchmark::DoNotOptimize(out.data);
    }
}

#endif

// ------------------------------------------------------------------ single stages

// 9 MiB (24-bit) and 18 MiB (48-bit) images, the size every tone stage walks.
void BM_Memcpy24(benchmark::State& state) {
    DibImage copy;
    copy.CreateLike(F().color24);
    for (auto _ : state) {
        std::memcpy(copy.Pixels(), F().color24.Pixels(), copy.SizeBytes());
        benchmark::DoNotOptimize(copy.Pixels());
        benchmark::ClobberMemory();
    }
}

void BM_Memcpy48(benchmark::State& state) {
    DibImage copy;
    copy.CreateLike(F().color48);
    for (auto _ : state) {
        std::memcpy(copy.Pixels(), F().color48.Pixels(), copy.SizeBytes());
        benchmark::DoNotOptimize(copy.Pixels());
        benchmark::ClobberMemory();
    }
}

template <class Stage>
void ToneStage(benchmark::State& state, bool sixteen, Stage stage) {
    Frames& f = F();
    DibImage& image = sixteen ? f.color48 : f.color24;
    stages::Demosaic(image, sixteen ? f.raw16 : f.raw8, kDemosaic);
    DibImage pristine;
    pristine.CreateLike(image);
    std::memcpy(pristine.Pixels(), image.Pixels(), image.SizeBytes());
    DibImage work;
    for (auto _ : state) {
        stage(image, work);
        benchmark::DoNotOptimize(image.Pixels());
        benchmark::ClobberMemory();
        // Brightness and contrast would otherwise drift the image towards the clip.
        state.PauseTiming();
        std::memcpy(image.Pixels(), pristine.Pixels(), image.SizeBytes());
        state.ResumeTiming();
    }
}

#define VC_TONE_BENCH(name, sixteen, call)                          \
    void BM_##name(benchmark::State& s) {                           \
        ToneStage(s, sixteen, [](DibImage& image, DibImage& work) { \
            (void)work;                                             \
            call;                                                   \
        });                                                         \
    }

VC_TONE_BENCH(HueSaturation8, false, stages::HueSaturation(image, 15, 40))
VC_TONE_BENCH(HueSaturation16, true, stages::HueSaturation(image, 15, 40))
VC_TONE_BENCH(Gamma8, false, stages::Gamma(image, 80))
VC_TONE_BENCH(Gamma16, true, stages::Gamma(image, 80))
VC_TONE_BENCH(Contrast8, false, stages::Contrast(image, 20))
VC_TONE_BENCH(Contrast16, true, stages::Contrast(image, 20))
VC_TONE_BENCH(Sharpness8, false, stages::Sharpness(image, work, 10))
VC_TONE_BENCH(Sharpness16, true, stages::Sharpness(image, work, 10))
VC_TONE_BENCH(Brightness8, false, stages::Brightness(image, 20))
VC_TONE_BENCH(Brightness16, true, stages::Brightness(image, 20))

template <bool kSixteen>
void Correction(benchmark::State& state, bool dots) {
    Frames& f = F();
    DibImage raw;
    raw.CreateLike(kSixteen ? f.raw16 : f.raw8);
    const CorrectionWindow window{kW, kH, 0, 0, 0};
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(raw.Pixels(), (kSixteen ? f.raw16 : f.raw8).Pixels(), raw.SizeBytes());
        state.ResumeTiming();
        if (dots) {
            CorrectDefects(raw, f.mask, kSixteen ? kDefectThreshold16 : kDefectThreshold8, window);
        } else {
            FlatField(raw, f.mask, window);
        }
        benchmark::DoNotOptimize(raw.Pixels());
    }
}

void BM_FlatField8(benchmark::State& s) { Correction<false>(s, false); }
void BM_FlatField16(benchmark::State& s) { Correction<true>(s, false); }
void BM_DotFilter8(benchmark::State& s) { Correction<false>(s, true); }
void BM_DotFilter16(benchmark::State& s) { Correction<true>(s, true); }

BENCHMARK(BM_Copy_3to9MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Demosaic8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Demosaic8_Scalar)->Unit(benchmark::kMillisecond);
#if VELTCAM_BENCH_OPENCV
BENCHMARK(BM_OpenCV_Bilinear8)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_Demosaic16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Demosaic16_Scalar)->Unit(benchmark::kMillisecond);
#if VELTCAM_BENCH_OPENCV
BENCHMARK(BM_OpenCV_Bilinear16)->Unit(benchmark::kMillisecond);
#endif
// Whole frames on one thread and on every thread the pool would use here.
void OneAndAllThreads(benchmark::internal::Benchmark* b) {
    b->ArgName("threads")->Arg(1);
    if (DefaultPipelineThreads() > 1) b->Arg(DefaultPipelineThreads());
    b->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_ProcessFrameAll24)->Apply(OneAndAllThreads);
BENCHMARK(BM_ProcessFrameAll48)->Apply(OneAndAllThreads);
BENCHMARK(BM_ProcessFrameAll8)->Apply(OneAndAllThreads);
BENCHMARK(BM_ProcessFrameAll24_Scalar)->ArgName("threads")->Arg(1)->Unit(benchmark::kMillisecond);
#if VELTCAM_BENCH_OPENCV
BENCHMARK(BM_OpenCV_Composition24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV_Composition48)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_Memcpy24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HueSaturation8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HueSaturation16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gamma8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gamma16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Contrast8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Contrast16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sharpness8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sharpness16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Brightness8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Brightness16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatField8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlatField16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DotFilter8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DotFilter16)->Unit(benchmark::kMillisecond);

// Console output as usual, and each benchmark's time per iteration kept for the
// ratio table: the median of the repetitions when there are several (a machine
// shared with builds has outliers), else the single run.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const std::string name = run.run_name.str();
            if (!median && medians_.count(name) != 0) continue;
            if (median) medians_.insert(name);
            const double toMs = 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            ms[name] = run.GetAdjustedRealTime() * toMs;
            cpuMs[name] = run.GetAdjustedCPUTime() * toMs;
        }
    }
    std::map<std::string, double> ms;
    std::map<std::string, double> cpuMs;

  private:
    std::set<std::string> medians_;
};

void PrintRatios(const std::map<std::string, double>& ms, const char* clock) {
    auto ratio = [&](const std::string& a, const std::string& b, const char* limit) {
        auto ia = ms.find(a), ib = ms.find(b);
        if (ia == ms.end() || ib == ms.end()) return;
        std::printf("  %-30s / %-30s = %6.3f   (%s)\n", a.c_str() + 3, b.c_str() + 3,
                    ia->second / ib->second, limit);
    };
    std::printf("\nRatios of %s times (same run), kernels: %s\n", clock,
                kernels::FastKernels().name);
    ratio("BM_Demosaic8", "BM_OpenCV_Bilinear8", "target <= 0.6");
    ratio("BM_Demosaic8", "BM_Copy_3to9MiB", "target <= 5");
    ratio("BM_Demosaic16", "BM_OpenCV_Bilinear16", "target <= 0.6");
    const std::string all = "/threads:" + std::to_string(DefaultPipelineThreads());
    const std::string one = "/threads:1";
    auto fps = [&](const std::string& name, const char* limit) {
        auto it = ms.find(name);
        if (it == ms.end()) return;
        std::printf("  %-51s = %6.1f   (%s)\n", (name.substr(3) + " frames/s").c_str(),
                    1000.0 / it->second, limit);
    };
    struct Goals {
        const char* mode;
        const char* oneThread;
        const char* allThreads;
        const char* speedUp;
    };
    for (const Goals& g : {Goals{"24", "target >= 150", "", "target >= 1.8"},
                           Goals{"48", "", "target >= 112", ""}, Goals{"8", "", "", ""}}) {
        const std::string base = std::string("BM_ProcessFrameAll") + g.mode;
        ratio(base + one, std::string("BM_OpenCV_Composition") + g.mode,
              *g.mode == '2' ? "target <= 0.3" : "");
        fps(base + one, g.oneThread);
        if (all != one) {
            fps(base + all, g.allThreads);
            ratio(base + one, base + all, g.speedUp);
        }
    }
    for (const char* stage : {"HueSaturation", "Gamma", "Contrast", "Sharpness", "Brightness"}) {
        const std::string s8 = std::string("BM_") + stage + "8";
        const std::string s16 = std::string("BM_") + stage + "16";
        ratio(s8, "BM_Memcpy24", "vs memcpy of the 24-bit image");
        ratio(s16, "BM_Memcpy48", "vs memcpy of the 48-bit image");
    }
    ratio("BM_FlatField8", "BM_Memcpy24", "vs memcpy of the 24-bit image");
    ratio("BM_FlatField16", "BM_Memcpy48", "vs memcpy of the 48-bit image");
    ratio("BM_DotFilter8", "BM_Memcpy24", "vs memcpy of the 24-bit image");
    ratio("BM_DotFilter16", "BM_Memcpy48", "vs memcpy of the 48-bit image");
}

}  // namespace
}  // namespace veltcam

int main(int argc, char** argv) {
        // OpenCV on one thread: the single-thread rows compare like with like, and
        // the all-threads rows show what the pool adds.
#if VELTCAM_BENCH_OPENCV
    cv::setNumThreads(1);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    veltcam::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    // Wall-clock figures are what a camera sees; on a machine shared with other
    // work the CPU-time figures are the steadier comparison.
    veltcam::PrintRatios(reporter.ms, "wall-clock");
    veltcam::PrintRatios(reporter.cpuMs, "CPU");
    return 0;
}
