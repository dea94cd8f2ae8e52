// A frame spread over worker threads in bands of rows must give the bytes and
// the settings of the same frame on one thread: for every colour mode, every
// kind of stage (neighbour reads, whole-frame statistics, in-place monochrome)
// and band counts from one to more than the frame has rows.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "imaging/CPipelineWorkers.h"
#include "imaging/DefectMask.h"
#include "imaging/ImageFixtures.h"
#include "imaging/PipelineHarness.h"

namespace veltcam {
namespace {

using namespace testing_support;

// Auto iris host: records what the loop would set on the camera.
struct RecordingHost : IPipelineHost {
    int gain = 40, exposure = 300, applied = 0, settingsChanged = 0;
    int GlobalGain() override { return gain; }
    void GainLimits(int& lo, int& hi) override { lo = 0, hi = 480; }
    void ApplyGlobalGain(int g) override { gain = g, ++applied; }
    int ExposureUnits() override { return exposure; }
    void ExposureLimits(int& lo, int& hi) override { lo = 1, hi = 10000; }
    void ApplyExposure(int u) override { exposure = u, ++applied; }
    void ImageSettingsChanged() override { ++settingsChanged; }
};

// Sensor-sized mask planes with references that make the corrections do work
// inside the frame's window: a dark offset and white gain that vary per pixel,
// and hot and dead pixels, some of them in runs and clusters.
struct LoadedMask {
    LoadedMask() {
        for (int i = 0; i < kMaskPlaneCount; ++i) planes.plane[i] = &images[i];
        if (!AllocateMaskPlanes(planes)) return;
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < 200; ++x) {
                const int px = kX + x, py = kY + y;
                SetSample(images[kMaskDark8], px, py, 0, (x * 7 + y * 3) % 20);
                SetSample(images[kMaskWhite8], px, py, 0, 200 + (x + y) % 50);
                SetSample(images[kMaskDark16], px, py, 0, (x * 7 + y * 3) % 20 * 256);
                SetSample(images[kMaskWhite16], px, py, 0, (200 + (x + y) % 50) * 256 + 77);
                const bool hot = (x * 13 + y * 29) % 97 == 0 || (y == 21 && x > 5 && x < 40);
                const bool dead = (x * 31 + y * 11) % 89 == 0 || (x == 17 && y > 8 && y < 30);
                if (hot) SetSample(images[kMaskDark8], px, py, 0, 250);
                if (hot) SetSample(images[kMaskDark16], px, py, 0, 0xF000);
                if (dead) SetSample(images[kMaskWhite8], px, py, 0, 3);
                if (dead) SetSample(images[kMaskWhite16], px, py, 0, 0x0300);
            }
        }
        for (int bits : {8, 16}) {
            BuildDefectFlags(planes, bits, 0);
            BuildDefectFlags(planes, bits, 1);
        }
    }
    static constexpr int kX = 600, kY = 400;  // where the frames lie on the sensor
    DibImage images[kMaskPlaneCount];
    MaskPlanes planes;
};

LoadedMask& Mask() {
    static LoadedMask mask;
    return mask;
}

struct StageCase {
    const char* name;
    void (*set)(PipelineHarness& h);
};

const StageCase kStageCases[] = {
    {"none", [](PipelineHarness&) {}},
    {"every tone stage",
     [](PipelineHarness& h) {
         h.settings.hue = 15;
         h.settings.saturation = 40;
         h.settings.gamma = 80;
         h.settings.contrast = 20;
         h.settings.sharpness = 10;
         h.settings.brightness = 20;
     }},
    {"sharpness alone", [](PipelineHarness& h) { h.settings.sharpness = 30; }},
    {"corrections, white balance once, gamma, sharpness",
     [](PipelineHarness& h) {
         h.frame.corrections = {1, 1};
         h.settings.bayerGainAuto = 1;
         h.settings.gamma = 140;
         h.settings.sharpness = 5;
     }},
    {"gray balance twice, gains and offsets, sharpness, auto iris (gain)",
     [](PipelineHarness& h) {
         h.settings.grayMode = 1;
         h.settings.grayBalanceFrames = 2;
         h.settings.grayOffset = {120, 128, 140, 128};
         h.settings.sharpness = 12;
         h.frame.autoIrisMode = 2;
     }},
    {"gray from colour, mirrored both ways, contrast, sharpness, brightness",
     [](PipelineHarness& h) {
         h.settings.grayMode = 2;
         h.frame.mirrorH = h.frame.mirrorV = true;
         h.settings.contrast = -30;
         h.settings.sharpness = 20;
         h.settings.brightness = -40;
     }},
};

// The frame content: noise (every stage busy, every pixel an outlier for the
// dot filter) or a dark smooth gradient with a few spikes (the dot filter
// replaces only flagged pixels and the spikes), twice as bright in odd columns
// so that the colour and gray balances and the auto iris have work to do.
void FillRaw(PipelineHarness& h, bool noise) {
    for (DibImage* raw : {&h.raw8, &h.raw16}) {
        const int full = raw->Bits() == 16 ? 65535 : 255;
        if (noise) {
            FillRandom(*raw, 91, full);
            continue;
        }
        FillSamples(*raw, [&](int x, int y, int) {
            if ((x * 5 + y * 3) % 41 == 0) return full;
            const int base = (x * 3 + y * 2) * (full / 8) / (3 * raw->Width() + 2 * raw->Height());
            return base * (1 + (x & 1));
        });
    }
}

struct Result {
    std::vector<uint8_t> output, raw;
    ImageSettings settings;
    std::array<bool, 2> once{};
    RecordingHost host;
};

std::vector<uint8_t> Bytes(const DibImage& image) {
    return {image.Pixels(), image.Pixels() + image.SizeBytes()};
}

// Two frames in a row, so that what a frame leaves behind (white balance
// switching itself off, the gray balance count) meets the next one.
Result RunFrames(int mode, const StageCase& stages, bool noise, CPipelineWorkers* workers,
                 int bands) {
    constexpr int kWidth = 67, kHeight = 53;
    PipelineHarness h(kWidth, kHeight, mode);
    stages.set(h);
    std::array<bool, 2> once{true, true};
    Result r;
    h.frame.whiteBalanceOnce = &once;
    h.frame.host = &r.host;
    h.frame.mask = Mask().planes;
    h.frame.window = {kWidth, kHeight, LoadedMask::kX, LoadedMask::kY, 0};
    h.frame.workers = workers;
    h.frame.bands = bands;
    for (int frame = 0; frame < 2; ++frame) {
        FillRaw(h, noise);
        h.Run();
    }
    r.output = Bytes(h.Output());
    r.raw = Bytes(h.Raw());
    r.settings = h.settings;
    r.once = once;
    return r;
}

void ExpectSame(const Result& a, const Result& b) {
    EXPECT_TRUE(a.output == b.output) << "output image";
    EXPECT_TRUE(a.raw == b.raw) << "raw image";
    EXPECT_EQ(a.settings.bayerGainRed, b.settings.bayerGainRed);
    EXPECT_EQ(a.settings.bayerGainBlue, b.settings.bayerGainBlue);
    EXPECT_EQ(a.settings.bayerGainAuto, b.settings.bayerGainAuto);
    EXPECT_EQ(a.settings.grayGain, b.settings.grayGain);
    EXPECT_EQ(a.settings.grayBalanceFrames, b.settings.grayBalanceFrames);
    EXPECT_EQ(a.once, b.once);
    EXPECT_EQ(a.host.gain, b.host.gain);
    EXPECT_EQ(a.host.applied, b.host.applied);
    EXPECT_EQ(a.host.settingsChanged, b.host.settingsChanged);
}

TEST(BandParallel, EveryModeAndStageGivesTheSingleThreadBytes) {
    ASSERT_TRUE(Mask().planes.Valid());
    CPipelineWorkers workers(3);
    for (int mode = kColorMono8; mode <= kColorRgb64; ++mode) {
        for (const StageCase& stages : kStageCases) {
            for (bool noise : {true, false}) {
                const Result single = RunFrames(mode, stages, noise, nullptr, 0);
                // 2 and 3 bands as threads would cut them; 7 uneven ones; one per
                // row; more than there are rows.
                for (int bands : {0, 2, 7, 53, 200}) {
                    SCOPED_TRACE("mode " + std::to_string(mode) + ", " + stages.name +
                                 (noise ? ", noise" : ", gradient") + ", bands " +
                                 std::to_string(bands));
                    ExpectSame(single, RunFrames(mode, stages, noise, &workers, bands));
                }
            }
        }
    }
}

TEST(BandParallel, WholeFrameStatisticsMoveTheSettings) {
    // The comparison above is only worth something if the statistics did work:
    // the balances changed the gains and counted down, the iris moved the gain.
    const Result wb = RunFrames(kColorRgb24, kStageCases[3], false, nullptr, 0);
    EXPECT_EQ(wb.settings.bayerGainAuto, 0) << "\"Once\" switches the balance off";
    EXPECT_NE(wb.settings.bayerGainRed, 100);
    const Result gray = RunFrames(kColorMono16, kStageCases[4], false, nullptr, 0);
    EXPECT_EQ(gray.settings.grayBalanceFrames, 0);
    EXPECT_NE(gray.settings.grayGain[0], 128);
    EXPECT_GT(gray.host.applied, 0);
}

TEST(PipelineWorkers, RunsEveryIndexOnceAndReportsTheCallersException) {
    CPipelineWorkers workers(4);
    for (int count : {1, 3, 4, 100}) {
        std::vector<std::atomic<int>> seen(static_cast<size_t>(count));
        std::atomic<int> badWorker{0};
        workers.Run(count, [&](int index, int worker) {
            seen[static_cast<size_t>(index)].fetch_add(1);
            if (worker < 0 || worker >= 4) badWorker = 1;
        });
        for (int i = 0; i < count; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)].load(), 1) << i;
        EXPECT_EQ(badWorker.load(), 0);
    }
    // A task that throws on any worker: the exception comes out of Run after
    // every worker stopped, and the pool still works.
    EXPECT_THROW(workers.Run(16,
                             [](int index, int) {
                                 if (index == 9) throw std::runtime_error("band");
                             }),
                 std::runtime_error);
    std::atomic<int> ran{0};
    workers.Run(8, [&](int, int) { ++ran; });
    EXPECT_EQ(ran.load(), 8);
}

TEST(PipelineWorkers, LimitIsCheckedAndOneThreadKeepsEverythingOnTheCaller) {
    CPipelineWorkers workers(2);
    EXPECT_FALSE(workers.SetThreadLimit(0));
    EXPECT_FALSE(workers.SetThreadLimit(kMaxPipelineThreads + 1));
    EXPECT_EQ(workers.ThreadLimit(), 2);
    ASSERT_TRUE(workers.SetThreadLimit(1));
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};
    workers.Run(10, [&](int, int worker) {
        if (worker != 0 || std::this_thread::get_id() != caller) elsewhere = true;
    });
    EXPECT_FALSE(elsewhere.load());
}

TEST(PipelineWorkers, FramesFromSeveralThreadsWhileTheLimitMoves) {
    // Two threads run frames through one pool (the second waits for the first)
    // while a third changes the limit; destruction joins whatever started.
    CPipelineWorkers workers(3);
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    auto frames = [&] {
        for (int i = 0; i < 200; ++i) {
            std::atomic<int> n{0};
            workers.Run(6, [&](int, int) { ++n; });
            total += n.load();
        }
    };
    std::thread limiter([&] {
        for (int i = 0; !stop.load(); ++i) {
            workers.SetThreadLimit(1 + i % 4);
            std::this_thread::yield();
        }
    });
    std::thread a(frames), b(frames);
    a.join();
    b.join();
    stop = true;
    limiter.join();
    EXPECT_EQ(total.load(), 2 * 200 * 6);
}

}  // namespace
}  // namespace veltcam
