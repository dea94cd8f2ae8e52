// The picture the simulated camera looks at, drawn as the Bayer mosaic the sensor
// delivers for the programmed window, readout mode, mirroring, depth and
// brightness.
//
// In picture coordinates (2048 x 1536, row 0 at the top as the SDK delivers it):
// the top half holds eight vertical colour bars, left to right white, yellow, cyan,
// green, magenta, red, blue, black. The bottom half is a grey ramp from black on the
// left to white on the right; its top strip holds
//   rows 768..799  fine detail: one-pixel vertical lines every 4 columns in the left
//                  half, one-pixel horizontal lines every 4 rows in the right half;
//   rows 800..863  a black lane with a 64 x 64 white marker at x = 16 * frame mod 1984;
//   rows 864..895  the frame number: 32 cells of 64 columns, cell i white when bit i is set.
// The colour cell at the picture origin is G R / B G (Bayer mode 3); half readout
// delivers B G / G R. At exposure 170 and gain 64 full brightness is 75 % of full scale.
//
// The mosaic is drawn once per setting; a frame then only moves the marker and the
// number, so producing one costs about one copy of the frame.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/SimOptions.h"

namespace veltcam::sim {

struct SceneSetup {
    uint32_t width = 0, height = 0;  // frame size the FPGA sends
    uint32_t bytesPerPixel = 1;
    bool half = false;
    bool windowOn = false;
    int startX = 0, startY = 0;  // window registers (counted from the far corner, + 8)
    int windowWidth = 0, windowHeightRegister = 0;
    bool mirrorH = false, mirrorV = false;
    double brightness = 1.0;  // 1.0 at the default exposure and gain
    bool operator==(const SceneSetup&) const = default;
};

namespace scene {
constexpr int kWidth = 2048;
constexpr int kHeight = 1536;
constexpr int kBarWidth = 256;
constexpr int kDetailTop = 768;
constexpr int kMarkerTop = 800;
constexpr int kMarkerSize = 64;
constexpr int kNumberTop = 864;
constexpr int kNumberBottom = 896;
constexpr int kCellWidth = 64;
constexpr double kFullBrightness = 0.75;
inline int MarkerX(uint32_t frame) {
    return static_cast<int>((frame * 16u) % (kWidth - kMarkerSize));
}
}  // namespace scene

class CSimScene {
  public:
    explicit CSimScene(const SimOptions& options) : options_(options) {}

    // The payload of frame `number` under `setup`; valid until the next call.
    const uint8_t* Frame(const SceneSetup& setup, uint32_t number, uint32_t* length);

    // The 12-bit level of colour channel `channel` (0 red, 1 green, 2 blue) at picture
    // position (x, y) at brightness 1, without the per-frame marker and number.
    static int Level(int x, int y, int channel);

  private:
    void Render(const SceneSetup& setup);
    // The output columns (rows) showing picture columns (rows) [from, to).
    bool OutputSpan(const std::vector<int>& map, int from, int to, int* first, int* last) const;
    void FillRect(int x0, int x1, int y0, int y1, bool white);

    const SimOptions& options_;
    SceneSetup setup_;
    bool valid_ = false;
    std::vector<uint8_t> base_;               // the mosaic without marker and number
    std::vector<uint8_t> frame_;              // what is sent
    std::vector<int> columnX_, columnPhase_;  // picture x and colour-cell column per output column
    std::vector<int> rowY_, rowPhase_;
    std::vector<int> xToColumn_, yToRow_;  // the other way round; -1: not in the frame
    uint32_t white_ = 0;
    uint32_t drawnNumber_ = 0;
    int drawnMarkerX_ = -1;
};

}  // namespace veltcam::sim
