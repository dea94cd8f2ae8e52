#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "FileReaders.h"
#include "files/AviWriter.h"
#include "platform/Clock.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace veltcam {
namespace {

using file_tests::Get16;
using file_tests::Get32;
using file_tests::Id;
using file_tests::ReadBytes;
using file_tests::ScratchFolder;

bool SixteenBitSamples(int bits) { return bits == 16 || bits == 48 || bits == 64; }

// Sample c of every pixel is a function of the pixel, the channel and the frame,
// so that rows, channels and frames cannot be mixed up unnoticed.
uint8_t Level(int x, int y, int c, int frame) {
    return static_cast<uint8_t>(17 * x + 61 * y + 89 * c + 29 * frame + 3);
}

std::unique_ptr<DibImage> Frame(int width, int height, int bits, int frame) {
    auto image = std::make_unique<DibImage>();
    EXPECT_TRUE(image->Create(width, height, bits));
    const int bytes = bits / 8;
    const int samples = SixteenBitSamples(bits) ? bytes / 2 : bytes;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = image->Row(y) + x * bytes;
            for (int c = 0; c < samples; ++c) {
                if (SixteenBitSamples(bits)) {
                    p[2 * c] = 0x5A;  // below the 8 bits a movie keeps
                    p[2 * c + 1] = Level(x, y, c, frame);
                } else {
                    p[c] = Level(x, y, c, frame);
                }
            }
        }
    }
    return image;
}

// B, G, R that the movie shows at picture pixel (x, y) of a frame made by Frame().
uint8_t Shown(int bits, int x, int y, int c, int frame) {
    return Level(x, y, bits == 8 || bits == 16 ? 0 : c, frame);
}

uint64_t FileBytes(uint32_t frames, uint32_t frameBytes) {
    return 232 + uint64_t{frames} * (8 + frameBytes) + 8 + 16ull * frames;
}

// Checks everything in the file that follows from the frame size and count, and
// returns the bytes.
std::vector<uint8_t> CheckLayout(const std::filesystem::path& path, int width, int height,
                                 uint32_t frames) {
    const auto b = ReadBytes(path);
    const uint32_t s = static_cast<uint32_t>(DibImage::RowBytesFor(width, 24) * height);
    EXPECT_EQ(b.size(), FileBytes(frames, s));
    if (b.size() != FileBytes(frames, s)) return b;
    EXPECT_EQ(Id(b, 0), "RIFF");
    EXPECT_EQ(Get32(b, 4), b.size() - 8);
    EXPECT_EQ(Id(b, 8), "AVI ");
    EXPECT_EQ(Id(b, 12), "LIST");
    EXPECT_EQ(Get32(b, 16), 200u);
    EXPECT_EQ(Id(b, 20), "hdrl");
    EXPECT_EQ(Id(b, 24), "avih");
    EXPECT_EQ(Get32(b, 28), 56u);
    EXPECT_EQ(Get32(b, 36), (s + 8) * 30);
    EXPECT_EQ(Get32(b, 40), 0u);
    EXPECT_EQ(Get32(b, 44), 0x00010010u);
    EXPECT_EQ(Get32(b, 48), frames);
    EXPECT_EQ(Get32(b, 52), 0u);
    EXPECT_EQ(Get32(b, 56), 1u);
    EXPECT_EQ(Get32(b, 60), s + 8);
    EXPECT_EQ(Get32(b, 64), static_cast<uint32_t>(width));
    EXPECT_EQ(Get32(b, 68), static_cast<uint32_t>(height));
    EXPECT_EQ(Id(b, 88), "LIST");
    EXPECT_EQ(Get32(b, 92), 124u);
    EXPECT_EQ(Id(b, 96), "strl");
    EXPECT_EQ(Id(b, 100), "strh");
    EXPECT_EQ(Get32(b, 104), 64u);
    EXPECT_EQ(Id(b, 108), "vids");
    EXPECT_EQ(Id(b, 112), "DIB ");
    EXPECT_EQ(Get32(b, 132), 10000000u);
    EXPECT_EQ(Get32(b, 140), frames);
    EXPECT_EQ(Get32(b, 144), s + 8);
    EXPECT_EQ(Id(b, 172), "strf");
    EXPECT_EQ(Get32(b, 176), 40u);
    EXPECT_EQ(Get32(b, 180), 40u);
    EXPECT_EQ(Get32(b, 184), static_cast<uint32_t>(width));
    EXPECT_EQ(Get32(b, 188), static_cast<uint32_t>(height));
    EXPECT_EQ(Get16(b, 192), 1u);
    EXPECT_EQ(Get16(b, 194), 24u);
    EXPECT_EQ(Get32(b, 196), 0u);
    EXPECT_EQ(Id(b, 220), "LIST");
    EXPECT_EQ(Get32(b, 224), 4 + frames * (8 + s));
    EXPECT_EQ(Id(b, 228), "movi");
    for (uint32_t i = 0; i < frames; ++i) {
        const size_t chunk = 232 + size_t{i} * (8 + s);
        EXPECT_EQ(Id(b, chunk), "00db") << "frame " << i;
        EXPECT_EQ(Get32(b, chunk + 4), s) << "frame " << i;
    }
    const size_t index = 232 + size_t{frames} * (8 + s);
    EXPECT_EQ(Id(b, index), "idx1");
    EXPECT_EQ(Get32(b, index + 4), 16 * frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const size_t entry = index + 8 + 16 * size_t{i};
        EXPECT_EQ(Id(b, entry), "00db");
        EXPECT_EQ(Get32(b, entry + 4), 16u);  // key frame
        EXPECT_EQ(Get32(b, entry + 8), 4 + i * (8 + s));
        EXPECT_EQ(Get32(b, entry + 12), s);
    }
    return b;
}

#ifndef _WIN32
std::string RunCommand(const std::string& command) {
    std::string out;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

bool HaveFfprobe() { return !RunCommand("ffprobe -version 2>/dev/null").empty(); }

std::map<std::string, std::string> Probe(const std::filesystem::path& path) {
    // -count_frames decodes every frame of the stream.
    const std::string out = RunCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=codec_name,width,height,nb_read_frames,avg_frame_rate -of "
        "default=noprint_wrappers=1 '" +
        path.string() + "'");
    std::map<std::string, std::string> fields;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

double Rate(const std::string& fraction) {
    const auto slash = fraction.find('/');
    if (slash == std::string::npos) return 0;
    const double den = std::stod(fraction.substr(slash + 1));
    return den == 0 ? 0 : std::stod(fraction.substr(0, slash)) / den;
}

void ExpectPlayable(const std::filesystem::path& path, int width, int height, int frames,
                    double rate) {
    if (!HaveFfprobe()) GTEST_SKIP() << "ffprobe (Debian package ffmpeg) is not installed";
    auto f = Probe(path);
    EXPECT_EQ(f["codec_name"], "rawvideo");
    EXPECT_EQ(f["width"], std::to_string(width));
    EXPECT_EQ(f["height"], std::to_string(height));
    EXPECT_EQ(f["nb_read_frames"], std::to_string(frames));
    EXPECT_NEAR(Rate(f["avg_frame_rate"]), rate, 0.01);
}
#endif

TEST(AviWriter, FullFrameRecordingAt15FramesPerSecond) {
    ScratchFolder scratch;
    const auto path = scratch / "full.avi";
    CAviWriter writer;
    ASSERT_TRUE(writer.Open(path.string().c_str(), 2048, 1536));
    EXPECT_EQ(writer.FrameBytes(), 9437184u);
    for (int i = 0; i < 3; ++i) {
        auto frame = Frame(2048, 1536, 24, i);
        ASSERT_EQ(writer.WriteFrame(*frame), CAviWriter::FrameResult::kQueued);
    }
    EXPECT_EQ(writer.FrameCount(), 3u);
    ASSERT_TRUE(writer.Close(1500));
    EXPECT_FALSE(writer.IsOpen());

    const auto b = CheckLayout(path, 2048, 1536, 3);
    EXPECT_EQ(Get32(b, 60), 9437192u);
    EXPECT_EQ(Get32(b, 32), 66666u);
    EXPECT_EQ(Get32(b, 128), 666666u);
#ifndef _WIN32
    ExpectPlayable(path, 2048, 1536, 3, 15.0);
#else
    GTEST_SKIP() << "ffprobe runs from the Linux tests; Wine cannot start host programs";
#endif
}

class FramesByColourMode : public testing::TestWithParam<int> {};

// Width 6 pads the 24-bit rows (18 bytes to 20): frames keep the padded rows.
TEST_P(FramesByColourMode, AreTwentyFourBitRowsBottomUp) {
    const int bits = GetParam();
    constexpr int kW = 6, kH = 4, kFrames = 2;
    ScratchFolder scratch;
    const auto path = scratch / "modes.avi";
    CAviWriter writer;
    ASSERT_TRUE(writer.Open(path.string().c_str(), kW, kH));
    for (int i = 0; i < kFrames; ++i) {
        auto frame = Frame(kW, kH, bits, i);
        ASSERT_EQ(writer.WriteFrame(*frame), CAviWriter::FrameResult::kQueued);
    }
    ASSERT_TRUE(writer.Close(3000));
    const auto b = CheckLayout(path, kW, kH, kFrames);
    const uint32_t s = 20 * kH;
    ASSERT_EQ(writer.FrameBytes(), s);
    for (int i = 0; i < kFrames; ++i) {
        const size_t pixels = 232 + i * (8 + s) + 8;
        for (int fileRow = 0; fileRow < kH; ++fileRow) {
            const int y = kH - 1 - fileRow;  // the last picture row comes first
            for (int x = 0; x < kW; ++x) {
                for (int c = 0; c < 3; ++c) {
                    ASSERT_EQ(b[pixels + fileRow * 20 + 3 * x + c], Shown(bits, x, y, c, i))
                        << "frame " << i << " x " << x << " y " << y << " channel " << c;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllBitCounts, FramesByColourMode, testing::Values(8, 16, 24, 32, 48, 64));

#ifndef _WIN32
TEST(AviWriter, DecodedFramesShowThePictureUpright) {
    if (!HaveFfprobe()) GTEST_SKIP() << "ffmpeg is not installed";
    constexpr int kW = 10, kH = 6, kFrames = 5;  // 30-byte rows padded to 32
    ScratchFolder scratch;
    const auto path = scratch / "upright.avi";
    CAviWriter writer;
    ASSERT_TRUE(writer.Open(path.string().c_str(), kW, kH));
    for (int i = 0; i < kFrames; ++i) {
        auto frame = Frame(kW, kH, 24, i);
        ASSERT_EQ(writer.WriteFrame(*frame), CAviWriter::FrameResult::kQueued);
    }
    ASSERT_TRUE(writer.Close(2500));
    ExpectPlayable(path, kW, kH, kFrames, 25.0);
    const std::string rgb =
        RunCommand("ffmpeg -v error -i '" + path.string() + "' -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), size_t{kFrames} * kW * kH * 3);
    for (int i = 0; i < kFrames; ++i) {
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const size_t at = ((size_t{i} * kH + y) * kW + x) * 3;
                for (int c = 0; c < 3; ++c) {  // decoded R, G, B
                    ASSERT_EQ(static_cast<uint8_t>(rgb[at + c]), Shown(24, x, y, 2 - c, i))
                        << "frame " << i << " x " << x << " y " << y;
                }
            }
        }
    }
}
#endif

TEST(AviWriter, RecordingThatIsNotClosedIsStillFinished) {
    ScratchFolder scratch;
    const auto first = scratch / "first.avi";
    const auto second = scratch / "second.avi";
    {
        CAviWriter writer;
        ASSERT_TRUE(writer.Open(first.string().c_str(), 16, 8));
        for (int i = 0; i < 3; ++i) writer.WriteFrame(*Frame(16, 8, 24, i));
        // A new recording finishes the one still open.
        ASSERT_TRUE(writer.Open(second.string().c_str(), 16, 8));
        CheckLayout(first, 16, 8, 3);
        for (int i = 0; i < 2; ++i) writer.WriteFrame(*Frame(16, 8, 32, i));
        // Destroyed while recording: stopped early, the file is finished all the same.
    }
    CheckLayout(second, 16, 8, 2);
#ifndef _WIN32
    if (HaveFfprobe()) EXPECT_EQ(Probe(second)["nb_read_frames"], "2");
#endif
}

TEST(AviWriter, EndsBeforeTheFileOutgrowsItsSizes) {
    ScratchFolder scratch;
    const auto path = scratch / "limit.avi";
    const uint32_t s = 16 * 3 * 8;
    CAviWriter writer(CAviWriter::kDefaultQueueFrames, FileBytes(3, s) + 20);
    ASSERT_TRUE(writer.Open(path.string().c_str(), 16, 8));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(writer.WriteFrame(*Frame(16, 8, 24, i)), CAviWriter::FrameResult::kQueued);
    }
    EXPECT_EQ(writer.WriteFrame(*Frame(16, 8, 24, 3)), CAviWriter::FrameResult::kEnded);
    EXPECT_EQ(writer.WriteFrame(*Frame(16, 8, 24, 4)), CAviWriter::FrameResult::kEnded);
    EXPECT_TRUE(writer.Close(3000));
    CheckLayout(path, 16, 8, 3);
}

TEST(AviWriter, TimingFieldsFollowTheMeasuredRateAtLeastOne) {
    ScratchFolder scratch;
    const auto path = scratch / "slow.avi";
    CAviWriter writer;
    ASSERT_TRUE(writer.Open(path.string().c_str(), 8, 2));
#ifndef _WIN32
    // At open the nominal 30 frames per second stand in the file. (Windows lets
    // nobody read the file while it is being recorded.)
    const auto atOpen = ReadBytes(path);
    ASSERT_EQ(atOpen.size(), 232u);
    EXPECT_EQ(Get32(atOpen, 32), 33333u);
    EXPECT_EQ(Get32(atOpen, 128), 333333u);
    EXPECT_EQ(Get32(atOpen, 4), 224u);
    EXPECT_EQ(Get32(atOpen, 224), 4u);
#endif
    writer.WriteFrame(*Frame(8, 2, 8, 0));
    // Fewer than one frame in 100 s would divide by zero.
    ASSERT_TRUE(writer.Close(0));
    const auto b = CheckLayout(path, 8, 2, 1);
    EXPECT_EQ(Get32(b, 32), 100000000u);
    EXPECT_EQ(Get32(b, 128), 1000000000u);
}

TEST(AviWriter, RefusesWhatItCannotRecord) {
    ScratchFolder scratch;
    CAviWriter writer;
    const auto path = scratch / "refused.avi";
    EXPECT_FALSE(writer.Open(path.string().c_str(), 0, 10));
    EXPECT_FALSE(writer.Open((scratch / "no such folder" / "x.avi").string().c_str(), 16, 8));
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(writer.WriteFrame(*Frame(16, 8, 24, 0)), CAviWriter::FrameResult::kEnded);
    EXPECT_FALSE(writer.Close(3000));

    ASSERT_TRUE(writer.Open(path.string().c_str(), 16, 8));
    // A frame of another size would put a wrong number of bytes into its chunk.
    EXPECT_EQ(writer.WriteFrame(*Frame(8, 8, 24, 0)), CAviWriter::FrameResult::kDropped);
    EXPECT_EQ(writer.WriteFrame(*Frame(16, 8, 24, 0)), CAviWriter::FrameResult::kQueued);
    EXPECT_EQ(writer.DroppedFrames(), 1u);
    EXPECT_TRUE(writer.Close(3000));
    CheckLayout(path, 16, 8, 1);
}

#ifndef _WIN32
// Runs in the child: a recording into a file that may grow only to `limit` bytes,
// as on a full disk. Exit code 0 when the recording ended on the write error.
[[noreturn]] void RecordIntoLimitedFile(const std::filesystem::path& path, int w, int h,
                                        rlim_t limit) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit fileSize{limit, limit};
    setrlimit(RLIMIT_FSIZE, &fileSize);
    CAviWriter writer;
    if (!writer.Open(path.string().c_str(), w, h)) std::exit(2);
    auto frame = Frame(w, h, 24, 0);
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = writer.WriteFrame(*frame) == CAviWriter::FrameResult::kEnded;
        platform::SleepMs(2);
    }
    std::exit(ended && writer.WriteFailed() && !writer.Close(3000) ? 0 : 3);
}

// The recording ends at the first failed write and keeps every complete frame,
// indexed.
TEST(AviWriterDeathTest, WriteErrorEndsTheRecordingWithAFinishedFile) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "the thread sanitizer cannot start threads in a forked child";
#endif
    GTEST_FLAG_SET(death_test_style, "fast");  // the child writes where the parent looks
    ScratchFolder scratch;
    const auto path = scratch / "full-disk.avi";
    constexpr int kW = 64, kH = 48;
    const uint32_t s = kW * 3 * kH;
    EXPECT_EXIT(RecordIntoLimitedFile(path, kW, kH, 232 + 2 * (8 + s) + s / 2),
                testing::ExitedWithCode(0), "");
    CheckLayout(path, kW, kH, 2);
}
#endif

}  // namespace
}  // namespace veltcam
