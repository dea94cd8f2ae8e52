// End to end below the SDK object: frames from the simulated sensor through the
// transfer thread and the readout, checked on the features of the scene. With the
// order flag 1 the picture must come out upright and unmirrored in Bayer phase 3
// (G R / B G at the origin); every setting must change the pixels as the real
// sensor would.
#include <algorithm>
#include <cmath>

#include "core/CoreFixture.h"
#include "sim/CSimScene.h"

namespace veltcam {
namespace {

using sim::CSimScene;
namespace scene = sim::scene;

constexpr int kWhite8 = 3071 >> 4;  // 75 % of full scale

class Scene : public test::CoreFixture {
  protected:
    void Take(int orderFlag = 1) {
        frame_ = Snap(orderFlag);
        int x, y, mode;
        core_->GetCaptureWindow(&x, &y, &width_, &height_, &mode);
        bpp_ = core_->TransferDepth() == 1 ? 2 : 1;
        ASSERT_EQ(frame_.size(), static_cast<size_t>(width_) * height_ * bpp_);
        int32_t counter = 0;
        core_->ReadFrame(nullptr, frame_.size(), &counter, nullptr, nullptr, nullptr, nullptr, 0,
                         1);
        counter_ = static_cast<uint32_t>(counter);
    }
    int P(int x, int y) const {
        const size_t at = (static_cast<size_t>(y) * width_ + x) * bpp_;
        return bpp_ == 1 ? frame_[at] : frame_[at] | (frame_[at + 1] << 8);
    }
    // The colour cell whose top-left pixel is (x, y), x and y even, read in phase 3.
    struct Rgb {
        int r, g, b;
        bool operator==(const Rgb&) const = default;
    };
    Rgb Cell(int x, int y) const { return {P(x + 1, y), P(x, y), P(x, y + 1)}; }
    static Rgb Bar(int index) {
        static const int bits[8] = {0b111, 0b011, 0b110, 0b010, 0b101, 0b001, 0b100, 0};
        return {bits[index] & 1 ? kWhite8 : 0, bits[index] & 2 ? kWhite8 : 0,
                bits[index] & 4 ? kWhite8 : 0};
    }

    std::vector<uint8_t> frame_;
    int width_ = 0, height_ = 0, bpp_ = 1;
    uint32_t counter_ = 0;
};

TEST_F(Scene, UprightAndUnmirroredInBayerPhaseThree) {
    Open();
    Take();
    ASSERT_EQ(width_, 2048);
    ASSERT_EQ(height_, 1536);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Cell(256 * i + 128, 384), Bar(i)) << "bar " << i << " from the left";
    }
    // The grey ramp: black on the left, rising to white on the right (green samples).
    EXPECT_EQ(P(0, 1200), 0);
    EXPECT_EQ(P(2046, 1200), CSimScene::Level(2046, 1200, 1) >> 4);
    for (int x = 2; x < 2048; x += 2) ASSERT_GE(P(x, 1200), P(x - 2, 1200)) << x;
    // Fine detail: one-pixel lines every fourth column on the left.
    EXPECT_EQ(P(100, 780), kWhite8);
    EXPECT_EQ(P(102, 780), 0);
    // The marker and the frame number of this frame.
    const int marker = scene::MarkerX(counter_);
    EXPECT_EQ(P(marker + 32, 832), kWhite8);
    EXPECT_EQ(P((marker + 1024) % 1984, 832), 0);
    uint32_t number = 0;
    for (int bit = 0; bit < 32; ++bit) {
        if (P(bit * 64 + 32, 880) > kWhite8 / 2) number |= 1u << bit;
    }
    EXPECT_EQ(number, counter_);
    // Nothing clips at the default exposure and gain.
    EXPECT_EQ(*std::max_element(frame_.begin(), frame_.end()), kWhite8);
}

TEST_F(Scene, TheMarkerMovesFromFrameToFrame) {
    Open();
    Take();
    const uint32_t first = counter_;
    Take();
    EXPECT_EQ(counter_, first + 1);
    EXPECT_EQ(P(scene::MarkerX(counter_) + 32, 832), kWhite8);
    EXPECT_EQ(P(scene::MarkerX(first) + 4, 832), 0) << "the old marker is gone";
}

TEST_F(Scene, MirrorBitsTurnThePicture) {
    Open();
    ASSERT_EQ(core_->SetMirrorH(1), 1);
    Take();
    EXPECT_EQ(Cell(128, 384), Bar(7)) << "black bar now on the left";
    EXPECT_EQ(Cell(1920, 384), Bar(0)) << "white bar on the right";
    // The red bar lands at 512..767 with the cell phase turned to R G / G B.
    EXPECT_EQ(P(640, 384), kWhite8);
    EXPECT_EQ(P(641, 384), 0);
    EXPECT_EQ(P(641, 385), 0);
    EXPECT_GT(P(4, 1200), P(2040, 1200)) << "ramp falls to the right";

    ASSERT_EQ(core_->SetMirrorH(0), 1);
    ASSERT_EQ(core_->SetMirrorV(1), 1);
    Take();
    EXPECT_LT(P(4, 300), P(2040, 300)) << "the ramp is on top";
    EXPECT_EQ(P(0, 1535 - 384), kWhite8) << "bars at the bottom";
    // Rows of the cell swap: B G / G R at the origin of the red bar cell.
    EXPECT_EQ(P(1280 + 129, 1536 - 384), 0);
    EXPECT_EQ(P(1280 + 129, 1536 - 384 + 1), kWhite8);
}

TEST_F(Scene, TheWindowShowsItsPartOfThePicture) {
    Open();
    ASSERT_EQ(core_->SetCaptureWindow(512, 256, 1024, 512, 0), 1);
    Take();
    ASSERT_EQ(width_, 1024);
    ASSERT_EQ(height_, 512);
    EXPECT_EQ(Cell(0, 0), Bar(2)) << "picture (512, 256): the cyan bar";
    EXPECT_EQ(Cell(768, 0), Bar(5)) << "picture (1280, 256): the red bar";
    EXPECT_EQ(P(1022, 511 - 1), CSimScene::Level(1534, 766, 1) >> 4);
}

TEST_F(Scene, HalfReadoutKeepsThePictureInPhaseTwo) {
    Open();
    ASSERT_EQ(core_->SetCaptureWindow(0, 0, 2048, 1536, 1), 1);
    Take();
    ASSERT_EQ(width_, 1024);
    ASSERT_EQ(height_, 768);
    // B G / G R: the yellow bar (red and green) at half-resolution x 128..255.
    EXPECT_EQ(P(192, 100), 0);
    EXPECT_EQ(P(193, 100), kWhite8);
    EXPECT_EQ(P(192, 101), kWhite8);
    EXPECT_EQ(P(193, 101), kWhite8);
    // The blue bar (index 6) shows only in the B position.
    EXPECT_EQ(P(6 * 128 + 64, 100), kWhite8);
    EXPECT_EQ(P(6 * 128 + 65, 101), 0);
    EXPECT_LT(P(4, 600), P(1020, 600)) << "ramp rising to the right at half size";
}

TEST_F(Scene, SixteenBitSamplesAreTwelveBitsLeftAligned) {
    Open();
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    Take();
    EXPECT_EQ(P(0, 0), 3071 << 4);
    EXPECT_EQ(P(2047, 0) & 0x0F, 0);
    EXPECT_EQ(P(1024, 1200), CSimScene::Level(1024, 1200, 1) << 4);
}

TEST_F(Scene, SeededDefectsStayPutAcrossFrames) {
    Open("fps=max;hot=40;dead=40;seed=3");
    Take();
    auto count = [&](int value) { return std::count(frame_.begin(), frame_.end(), value); };
    const auto hot = count(255);
    EXPECT_GE(hot, 30) << "hot pixels read full scale (a few may fall on the marker lanes)";
    const std::vector<uint8_t> first = frame_;
    Take();
    for (size_t i = 0; i < frame_.size(); ++i) {
        if (first[i] == 255) ASSERT_EQ(frame_[i], 255) << "the same places in every frame";
    }
}

TEST_F(Scene, ExposureAndGainSetTheBrightness) {
    Open("fps=max;clock=virtual");
    ASSERT_EQ(core_->SetTransferDepth(1), 1);
    Take();
    const double reference = P(1024, 1200);
    ASSERT_GT(reference, 0);
    struct Case {
        int exposure, gain;
        double ratio;
    };
    const Case cases[] = {
        {85, 64, 753.0 / 1507.0},                 // half the exposure in lines
        {340, 64, 3014.0 / 1507.0},               // twice
        {170, 0, std::pow(10.0, -64.0 / 200.0)},  // -6.4 dB
        {170, 264, 10.0},                         // +20 dB: clips
    };
    for (const Case& c : cases) {
        ASSERT_EQ(core_->SetExposureTime(c.exposure), 1);
        ASSERT_EQ(core_->SetGain(c.gain), 1);
        Take();
        const double expected = std::min(reference * c.ratio, 4095.0 * 16);
        EXPECT_NEAR(P(1024, 1200), expected, 16 * 2 + expected * 0.002)
            << c.exposure << " " << c.gain;
    }
    // Far beyond full scale the picture clips instead of wrapping.
    EXPECT_EQ(P(2046, 1200), 0xFFF0);
}

}  // namespace
}  // namespace veltcam
