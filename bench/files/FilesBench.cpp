// Full 2048 × 1536 frames written to a local temporary folder.
//
// Each still writer runs next to a "direct" twin: the same file written by calling
// the library (or stdio, for BMP and raw) straight on the frame's memory, the way
// an application holding the frame would. Their time ratio is the writer's
// overhead. The recorder is fed like the record thread feeds it, once as fast as
// the disk takes frames, once at the sensor's 56 frames per second.
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "files/AviWriter.h"
#include "files/StillImageFile.h"

namespace veltcam {
namespace {

constexpr int kW = 2048;
constexpr int kH = 1536;

std::filesystem::path Folder() {
    static const std::filesystem::path folder = [] {
        auto f = std::filesystem::temp_directory_path() / "veltcam-bench-files";
        std::filesystem::create_directories(f);
        return f;
    }();
    return folder;
}

// Colour bars over the top half, a grey ramp under them, light noise everywhere:
// compressors see the kind of picture the camera delivers.
const DibImage& Picture(int bits) {
    static std::unique_ptr<DibImage> images[9];
    auto& image = images[bits / 8];
    if (image) return *image;
    image = std::make_unique<DibImage>();
    image->Create(kW, kH, bits);
    const bool sixteen = bits == 16 || bits == 48 || bits == 64;
    const int samples = bits / (sixteen ? 16 : 8);
    std::mt19937 rng(5);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const int bar = x * 8 / kW;
            for (int c = 0; c < samples; ++c) {
                int v = y < kH / 2 ? ((bar >> (c % 3)) & 1 ? 190 : 20) : x * 255 / kW;
                if (samples == 4 && c == 3) v = 0;
                v = std::min(255, v + static_cast<int>(rng() % 6));
                uint8_t* p = image->Row(y) + x * (bits / 8);
                if (sixteen) {
                    const int v16 = v << 8 | (rng() & 0xF0);
                    p[2 * c] = static_cast<uint8_t>(v16);
                    p[2 * c + 1] = static_cast<uint8_t>(v16 >> 8);
                } else {
                    p[c] = static_cast<uint8_t>(v);
                }
            }
        }
    }
    return *image;
}

void SetBytes(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// ---- SDK writers ----------------------------------------------------------------

void BM_Save(benchmark::State& state) {
    const int format = static_cast<int>(state.range(0));
    const DibImage& image = Picture(static_cast<int>(state.range(1)));
    // A file of its own per case: truncating a larger file of another format
    // would be timed too.
    const std::string path =
        (Folder() / ("sdk-" + std::to_string(format) + "-" + std::to_string(image.Bits())))
            .string();
    for (auto _ : state) {
        if (SaveImageFile(path.c_str(), image, format, 16) != 1) state.SkipWithError("save failed");
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_Save)
    ->ArgNames({"format", "bits"})
    ->Args({kStillBmp, 24})
    ->Args({kStillRaw, 24})
    ->Args({kStillJpegQ70, 24})
    ->Args({kStillPng, 24})
    ->Args({kStillPng, 48})
    ->Args({kStillTiff, 24})
    ->Args({kStillTiff, 16})
    ->Unit(benchmark::kMillisecond);

// ---- The same files written directly ----------------------------------------------

void BM_DirectBmp(benchmark::State& state) {
    const DibImage& image = Picture(24);
    const std::string path = (Folder() / "direct.bmp").string();
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        uint8_t header[54] = {'B', 'M'};
        const uint32_t size = 54 + static_cast<uint32_t>(image.SizeBytes());
        std::memcpy(header + 2, &size, 4);
        header[10] = 54;
        std::memcpy(header + 14, &image.Info().header, 40);
        std::fwrite(header, 1, sizeof header, f);
        for (int y = kH - 1; y >= 0; --y) std::fwrite(image.Row(y), 1, image.RowBytes(), f);
        std::fclose(f);
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_DirectBmp)->Unit(benchmark::kMillisecond);

void BM_DirectRaw(benchmark::State& state) {
    const DibImage& image = Picture(24);
    const std::string path = (Folder() / "direct.raw").string();
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(image.Pixels(), 1, image.SizeBytes(), f);
        std::fclose(f);
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_DirectRaw)->Unit(benchmark::kMillisecond);

void BM_DirectJpeg(benchmark::State& state) {
    const DibImage& image = Picture(24);
    const std::string path = (Folder() / "direct.jpg").string();
    std::vector<JSAMPLE> row(kW * 3);
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        jpeg_compress_struct info{};
        jpeg_error_mgr errors;
        info.err = jpeg_std_error(&errors);
        jpeg_create_compress(&info);
        jpeg_stdio_dest(&info, f);
        info.image_width = kW;
        info.image_height = kH;
        info.input_components = 3;
        info.in_color_space = JCS_RGB;
        jpeg_set_defaults(&info);
        jpeg_set_quality(&info, 70, TRUE);
        jpeg_simple_progression(&info);
        jpeg_start_compress(&info, TRUE);
        for (int y = 0; y < kH; ++y) {
            const uint8_t* s = image.Row(y);
            for (int x = 0; x < kW; ++x) {
                row[3 * x] = s[3 * x + 2];
                row[3 * x + 1] = s[3 * x + 1];
                row[3 * x + 2] = s[3 * x];
            }
            JSAMPROW r = row.data();
            jpeg_write_scanlines(&info, &r, 1);
        }
        jpeg_finish_compress(&info);
        jpeg_destroy_compress(&info);
        std::fclose(f);
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_DirectJpeg)->Unit(benchmark::kMillisecond);

void BM_DirectPng(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const DibImage& image = Picture(bits);
    const std::string path = (Folder() / ("direct-" + std::to_string(bits) + ".png")).string();
    std::vector<png_bytep> rows(kH);
    for (int y = 0; y < kH; ++y) rows[y] = const_cast<png_bytep>(image.Row(y));
    for (auto _ : state) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, f);
        png_set_IHDR(png, info, kW, kH, bits == 24 ? 8 : 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        png_set_bgr(png);
        if (bits == 48) png_set_swap(png);
        png_write_image(png, rows.data());
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_DirectPng)->ArgName("bits")->Arg(24)->Arg(48)->Unit(benchmark::kMillisecond);

void BM_DirectTiff(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const DibImage& image = Picture(bits);
    const std::string path = (Folder() / ("direct-" + std::to_string(bits) + ".tif")).string();
    std::vector<uint8_t> row(static_cast<size_t>(image.RowBytes()));
    for (auto _ : state) {
        TIFF* tiff = TIFFOpen(path.c_str(), "w");
        TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, kW);
        TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, kH);
        TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits == 24 ? 8 : 16);
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     bits == 24 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, bits == 24 ? 3 : 1);
        TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, kH);
        if (bits == 24) {
            for (int y = 0; y < kH; ++y) {
                const uint8_t* s = image.Row(y);
                for (int x = 0; x < kW; ++x) {
                    row[3 * x] = s[3 * x + 2];
                    row[3 * x + 1] = s[3 * x + 1];
                    row[3 * x + 2] = s[3 * x];
                }
                TIFFWriteScanline(tiff, row.data(), y, 0);
            }
        } else {
            TIFFWriteEncodedStrip(tiff, 0, const_cast<uint8_t*>(image.Pixels()),
                                  static_cast<tmsize_t>(image.SizeBytes()));
        }
        TIFFClose(tiff);
    }
    SetBytes(state, image.SizeBytes());
}
BENCHMARK(BM_DirectTiff)->ArgName("bits")->Arg(24)->Arg(16)->Unit(benchmark::kMillisecond);

// ---- Movie recorder ---------------------------------------------------------------

// Frames per recording: about 2 GB, well inside the 4 GiB file limit (455 frames).
constexpr int kRecordFrames = 220;

// As fast as the recorder takes frames: a frame the recorder has no buffer for is
// offered again 1 ms later, so every frame goes into the file.
void BM_RecorderSustained(benchmark::State& state) {
    const DibImage& frame = Picture(24);
    const std::string path = (Folder() / "sustained.avi").string();
    double seconds = 0;
    for (auto _ : state) {
        CAviWriter writer;
        const auto start = std::chrono::steady_clock::now();
        writer.Open(path.c_str(), kW, kH);
        for (int i = 0; i < kRecordFrames;) {
            const auto result = writer.WriteFrame(frame);
            if (result == CAviWriter::FrameResult::kQueued) {
                ++i;
            } else if (result == CAviWriter::FrameResult::kEnded) {
                state.SkipWithError("recording ended");
                break;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        writer.Close(5600);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["frames_per_s"] = state.iterations() * kRecordFrames / seconds;
    SetBytes(state, frame.SizeBytes() * kRecordFrames);
}
BENCHMARK(BM_RecorderSustained)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames offered at the sensor's 56 frames per second, each converted under the
// caller's time as the record thread does (from a 48-bit output image here, the
// costliest conversion); dropped frames are the ones the recorder had no buffer for.
void BM_RecorderAtSensorRate(benchmark::State& state) {
    const DibImage& frame = Picture(static_cast<int>(state.range(0)));
    const std::string path = (Folder() / "sensor-rate.avi").string();
    const auto period = std::chrono::microseconds(1000000 / 56);
    uint64_t dropped = 0;
    double longestCallMs = 0;
    double totalCallMs = 0;
    for (auto _ : state) {
        CAviWriter writer;
        writer.Open(path.c_str(), kW, kH);
        auto next = std::chrono::steady_clock::now();
        for (int i = 0; i < kRecordFrames; ++i) {
            std::this_thread::sleep_until(next);
            next += period;
            const auto before = std::chrono::steady_clock::now();
            if (writer.WriteFrame(frame) == CAviWriter::FrameResult::kDropped) ++dropped;
            const double callMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before)
                    .count();
            longestCallMs = std::max(longestCallMs, callMs);
            totalCallMs += callMs;
        }
        writer.Close(5600);
    }
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["longest_call_ms"] = longestCallMs;
    state.counters["mean_call_ms"] = totalCallMs / (state.iterations() * kRecordFrames);
}
BENCHMARK(BM_RecorderAtSensorRate)
    ->ArgName("bits")
    ->Arg(24)
    ->Arg(48)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace veltcam

BENCHMARK_MAIN();
