// Where the colours of the Bayer mosaic sit.
//
// A phase (BayerMode 0..3) names the 2 x 2 colour cell at the image origin:
//   0: G B / R G    1: R G / G B    2: B G / G R    3: G R / B G
// Bit 0 swaps the cell's rows, bit 1 its columns, so mirroring the image in
// either direction (or reading out every other row pair) maps one phase onto
// another instead of moving the colours.
#pragma once

namespace veltcam {

enum BayerColor : int { kBayerRed = 0, kBayerGreen = 1, kBayerBlue = 2 };

// Colour at (column parity, row parity) for a phase.
inline int BayerColorAt(int phase, int x, int y) {
    static constexpr int kCell[4][2][2] = {
        {{kBayerGreen, kBayerBlue}, {kBayerRed, kBayerGreen}},
        {{kBayerRed, kBayerGreen}, {kBayerGreen, kBayerBlue}},
        {{kBayerBlue, kBayerGreen}, {kBayerGreen, kBayerRed}},
        {{kBayerGreen, kBayerRed}, {kBayerBlue, kBayerGreen}},
    };
    return kCell[phase & 3][y & 1][x & 1];
}

// Column and row parity of the red sample in the cell.
inline int RedColumn(int phase) { return (phase & 3) >= 2 ? 1 : 0; }
inline int RedRow(int phase) { return (phase & 1) == 0 ? 1 : 0; }

// The phase the demosaic uses: the mirror flags as set (whether the sensor or the
// software mirrors) and sub-sampled readout each move the cell.
inline int AdjustedBayerPhase(int bayerMode, bool mirrorV, bool mirrorH, int subSampleMode) {
    int phase = bayerMode & 3;
    if (mirrorV) phase ^= 1;
    if (mirrorH) phase ^= 2;
    if (subSampleMode != 0) phase ^= 1;
    return phase;
}

// Gray-mode channels (0 R, 1 G1, 2 G2, 3 B) at (column parity, row parity): the
// gray gains name the cell's positions in their own way.
inline int GrayChannelAt(int phase, int x, int y) {
    static constexpr int kCell[4][2][2] = {
        {{1, 0}, {3, 2}},
        {{3, 2}, {1, 0}},
        {{0, 1}, {2, 3}},
        {{2, 3}, {0, 1}},
    };
    return kCell[phase & 3][y & 1][x & 1];
}

}  // namespace veltcam
