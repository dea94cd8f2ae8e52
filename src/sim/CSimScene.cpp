#include "sim/CSimScene.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>

namespace veltcam::sim {
namespace {

using namespace scene;

constexpr int kFullLevel = 3071;  // 75 % of the 12-bit range

// Channels of the bars, left to right: bit 0 red, bit 1 green, bit 2 blue.
constexpr uint8_t kBars[8] = {0b111, 0b011, 0b110, 0b010, 0b101, 0b001, 0b100, 0b000};

// Colour channel of a cell position: G R / B G.
int CellChannel(int column, int row) {
    if (column == row) return 1;
    return column ? 0 : 2;
}

uint32_t Hash(uint32_t x, uint32_t y, uint64_t seed) {
    uint64_t h = (uint64_t{x} << 32 | y) ^ (seed * 0x9E3779B97F4A7C15ull);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return static_cast<uint32_t>(h);
}

}  // namespace

int CSimScene::Level(int x, int y, int channel) {
    if (y < kDetailTop) return (kBars[x / kBarWidth] >> channel) & 1 ? kFullLevel : 0;
    if (y < kMarkerTop) {
        if (x < kWidth / 2) return x % 4 == 0 ? kFullLevel : 0;
        return y % 4 == 0 ? kFullLevel : 0;
    }
    if (y < kNumberBottom) return 0;  // marker and number lanes are drawn per frame
    return (x * kFullLevel + (kWidth - 1) / 2) / (kWidth - 1);
}

void CSimScene::Render(const SceneSetup& setup) {
    setup_ = setup;
    valid_ = true;
    const int bpp = setup.bytesPerPixel == 2 ? 2 : 1;
    const int width = static_cast<int>(setup.width), height = static_cast<int>(setup.height);

    // What the sensor reads out: the window, the full array, or the array at half
    // resolution; the FPGA sends the first width x height of it.
    int sensorWidth = kWidth, sensorHeight = kHeight, originX = 0, originY = 0;
    if (setup.half) {
        sensorWidth = kWidth / 2;
        sensorHeight = kHeight / 2;
    } else if (setup.windowOn) {
        sensorWidth = setup.windowWidth;
        sensorHeight = setup.windowHeightRegister - 4;
        originX = kWidth - (setup.startX - 8) - sensorWidth;
        originY = kHeight - (setup.startY - 8) - sensorHeight;
    }
    // The readout runs from the far corner: unmirrored, the picture arrives turned by
    // 180 degrees. Each mirror bit turns one direction back.
    columnX_.assign(static_cast<size_t>(width), -1);
    columnPhase_.assign(static_cast<size_t>(width), 0);
    rowY_.assign(static_cast<size_t>(height), -1);
    rowPhase_.assign(static_cast<size_t>(height), 0);
    xToColumn_.assign(kWidth, -1);
    yToRow_.assign(kHeight, -1);
    for (int u = 0; u < width && u < sensorWidth; ++u) {
        const int wx = setup.mirrorH ? u : sensorWidth - 1 - u;
        const int x = setup.half ? 2 * wx : originX + wx;
        if (x < 0 || x >= kWidth) continue;
        columnX_[u] = x;
        columnPhase_[u] = (setup.half ? wx : x) & 1;
        xToColumn_[x] = u;
    }
    for (int v = 0; v < height && v < sensorHeight; ++v) {
        const int wy = setup.mirrorV ? v : sensorHeight - 1 - v;
        const int y = setup.half ? 2 * wy : originY + wy;
        if (y < 0 || y >= kHeight) continue;
        rowY_[v] = y;
        // Half readout takes its rows so that the cell rows come swapped: B G / G R.
        rowPhase_[v] = setup.half ? ((wy & 1) ^ 1) : (y & 1);
        yToRow_[y] = v;
    }

    base_.assign(static_cast<size_t>(width) * height * bpp, 0);
    const double centreX = kWidth / 2.0, centreY = kHeight / 2.0;
    const double cornerSquared = centreX * centreX + centreY * centreY;
    const double vignette = options_.vignette / 100.0;
    for (int v = 0; v < height; ++v) {
        const int y = rowY_[v];
        if (y < 0) continue;
        uint8_t* row = base_.data() + static_cast<size_t>(v) * width * bpp;
        for (int u = 0; u < width; ++u) {
            const int x = columnX_[u];
            if (x < 0) continue;
            double level =
                Level(x, y, CellChannel(columnPhase_[u], rowPhase_[v])) * setup.brightness;
            if (vignette > 0) {
                const double dx = x - centreX, dy = y - centreY;
                level *= 1.0 - vignette * (dx * dx + dy * dy) / cornerSquared;
            }
            int value = static_cast<int>(level + 0.5);
            if (options_.noise > 0) {
                value += static_cast<int>(Hash(static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                               options_.seed) %
                                          (2u * options_.noise + 1)) -
                         options_.noise;
            }
            value = std::clamp(value, 0, 4095);
            if (bpp == 1) {
                row[u] = static_cast<uint8_t>(value >> 4);
            } else {
                const uint16_t sample = static_cast<uint16_t>(value << 4);  // 12 bits left-aligned
                row[2 * u] = static_cast<uint8_t>(sample);
                row[2 * u + 1] = static_cast<uint8_t>(sample >> 8);
            }
        }
    }
    // Hot and dead pixels sit at fixed places of the array, wherever the window is.
    std::mt19937_64 random(options_.seed ^ 0xD3A7);
    for (int i = 0; i < options_.hotPixels + options_.deadPixels; ++i) {
        const int x = static_cast<int>(random() % kWidth), y = static_cast<int>(random() % kHeight);
        const int u = xToColumn_[x], v = yToRow_[y];
        if (u < 0 || v < 0) continue;
        const uint16_t sample = i < options_.hotPixels ? 0xFFF0 : 0;
        uint8_t* at = base_.data() + (static_cast<size_t>(v) * width + u) * bpp;
        if (bpp == 1) {
            at[0] = static_cast<uint8_t>(sample >> 8);
        } else {
            at[0] = static_cast<uint8_t>(sample);
            at[1] = static_cast<uint8_t>(sample >> 8);
        }
    }

    frame_ = base_;
    const int white = std::min(4095, static_cast<int>(kFullLevel * setup.brightness + 0.5));
    white_ = bpp == 1 ? static_cast<uint32_t>(white >> 4) : static_cast<uint32_t>(white << 4);
    drawnNumber_ = 0;
    drawnMarkerX_ = -1;
}

bool CSimScene::OutputSpan(const std::vector<int>& map, int from, int to, int* first,
                           int* last) const {
    *first = INT_MAX;
    *last = -1;
    for (int i = std::max(from, 0); i < to && i < static_cast<int>(map.size()); ++i) {
        if (map[i] < 0) continue;
        *first = std::min(*first, map[i]);
        *last = std::max(*last, map[i]);
    }
    return *last >= 0;
}

void CSimScene::FillRect(int x0, int x1, int y0, int y1, bool white) {
    int u0, u1, v0, v1;
    if (!OutputSpan(xToColumn_, x0, x1, &u0, &u1) || !OutputSpan(yToRow_, y0, y1, &v0, &v1)) {
        return;
    }
    const size_t bpp = setup_.bytesPerPixel == 2 ? 2 : 1;
    const size_t stride = setup_.width * bpp;
    const size_t begin = static_cast<size_t>(u0) * bpp,
                 bytes = static_cast<size_t>(u1 - u0 + 1) * bpp;
    for (int v = v0; v <= v1; ++v) {
        uint8_t* row = frame_.data() + static_cast<size_t>(v) * stride + begin;
        if (!white) {
            std::memcpy(row, base_.data() + static_cast<size_t>(v) * stride + begin, bytes);
        } else if (bpp == 1) {
            std::memset(row, static_cast<int>(white_), bytes);
        } else {
            for (size_t i = 0; i < bytes; i += 2) {
                row[i] = static_cast<uint8_t>(white_);
                row[i + 1] = static_cast<uint8_t>(white_ >> 8);
            }
        }
    }
}

const uint8_t* CSimScene::Frame(const SceneSetup& setup, uint32_t number, uint32_t* length) {
    if (!valid_ || !(setup == setup_)) Render(setup);
    const int markerX = MarkerX(number);
    if (drawnMarkerX_ >= 0 && drawnMarkerX_ != markerX) {
        FillRect(drawnMarkerX_, drawnMarkerX_ + kMarkerSize, kMarkerTop, kMarkerTop + kMarkerSize,
                 false);
    }
    FillRect(markerX, markerX + kMarkerSize, kMarkerTop, kMarkerTop + kMarkerSize, true);
    drawnMarkerX_ = markerX;
    const uint32_t changed = number ^ drawnNumber_;
    for (int bit = 0; bit < 32; ++bit) {
        if (changed & (1u << bit)) {
            FillRect(bit * kCellWidth, (bit + 1) * kCellWidth, kNumberTop, kNumberBottom,
                     (number >> bit) & 1);
        }
    }
    drawnNumber_ = number;
    *length = static_cast<uint32_t>(frame_.size());
    return frame_.data();
}

}  // namespace veltcam::sim
