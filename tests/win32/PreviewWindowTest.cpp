// The preview window as the user sees it: where it goes, how big it is, and what
// the desktop shows once frames have been drawn into it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "VeltCamSdk.h"
#include "support/PrivateSettingsStore.h"
#include "support/SceneChecks.h"
#include "support/SimTestSupport.h"
#include "support/TestWindow.h"

namespace veltcam {
namespace {

// The whole desktop as 24-bit pixels, top row first.
class CScreenShot {
  public:
    CScreenShot() {
        HDC screen = GetDC(nullptr);
        width_ = GetSystemMetrics(SM_CXSCREEN);
        height_ = GetSystemMetrics(SM_CYSCREEN);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HDC memory = CreateCompatibleDC(screen);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width_, height_, screen, 0, 0, SRCCOPY);
        GdiFlush();
        stride_ = (width_ * 3 + 3) & ~3;
        pixels_.assign(static_cast<const uint8_t*>(bits),
                       static_cast<const uint8_t*>(bits) + static_cast<size_t>(stride_) * height_);
        SelectObject(memory, old);
        DeleteDC(memory);
        DeleteObject(bitmap);
        ReleaseDC(nullptr, screen);
    }
    // Mean R, G, B of the 16 × 16 block around a desktop position: monochrome
    // modes show the raw mosaic, whose single pixels alternate between channels.
    std::array<int, 3> At(POINT p) const {
        std::array<int, 3> sum{};
        for (int y = p.y - 8; y < p.y + 8; ++y) {
            for (int x = p.x - 8; x < p.x + 8; ++x) {
                const uint8_t* px = pixels_.data() + static_cast<size_t>(y) * stride_ + x * 3;
                for (int c = 0; c < 3; ++c) sum[c] += px[2 - c];
            }
        }
        for (int& v : sum) v /= 256;
        return sum;
    }

  private:
    int width_ = 0;
    int height_ = 0;
    int stride_ = 0;
    std::vector<uint8_t> pixels_;
};

void Pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Finds the SDK's preview window: a child of `parent`, or a top-level window of
// this process when `parent` is null.
HWND FindPreview(HWND parent) {
    if (parent != nullptr) return FindWindowExA(parent, nullptr, nullptr, "ActiveMovie Window");
    return FindWindowA(nullptr, "Active Window");
}

class PreviewWindow : public testing::Test {
  protected:
    void SetUp() override {
        const std::string sim = "table=" + test::UniqueTableName() + ";cameras=1";
        _putenv_s("VELTCAM_SIMULATOR", sim.c_str());
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }
    // Runs the callback preview until a few frames have been drawn, with the
    // creating thread's messages dispatched meanwhile.
    void ShowFrames() {
        ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
        size_t frames = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (frames < 3 && std::chrono::steady_clock::now() < end) {
            Pump();
            frames += messages_.Take(VELTCAM_WM_FRAME, 50).size();
        }
        ASSERT_GE(frames, 3u);
        Pump();
    }
    // Every bar shows its colour at the height of the bars, in a client area of
    // `width` × `height` whose top-left corner is at `origin` on the desktop.
    void ExpectBars(const CScreenShot& shot, POINT origin, int width, int height, bool colour) {
        int previousGrey = 255;
        for (int bar = 0; bar < 8; ++bar) {
            SCOPED_TRACE(testing::Message() << "bar " << bar);
            const POINT p{origin.x + width * (2 * bar + 1) / 16, origin.y + height / 4};
            const std::array<int, 3> rgb = shot.At(p);
            if (colour) {
                test::ExpectBarOnScreen(rgb, bar);
            } else {
                EXPECT_EQ(rgb[0], rgb[1]);
                EXPECT_EQ(rgb[1], rgb[2]);
                if (bar == 0) {
                    EXPECT_GT(rgb[0], 100) << "white bar";
                }
                EXPECT_LE(rgb[0], previousGrey + 4) << "grey bars get darker to the right";
                previousGrey = rgb[0];
            }
        }
        // The grey ramp in the bottom half: dark on the left, bright on the right.
        const int y = origin.y + height * 7 / 8;
        EXPECT_LT(shot.At({origin.x + width / 16, y})[1], shot.At({origin.x + width * 15 / 16, y})[1]);
    }

    test::CPrivateSettingsStore store_;
    test::CTestWindow messages_;
    VeltCamHandle handle_ = 0;
};

TEST_F(PreviewWindow, ChildWindowAtItsPlacementShowsTheSceneUpright) {
    HWND parent = CreateWindowExA(0, "STATIC", "preview parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                  0, 0, 800, 600, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, parent, 10, 20, 640, 480), 1);
    ShowFrames();
    HWND child = FindPreview(parent);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(GetDlgCtrlID(child), 6540);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(child, GWL_STYLE)) & 0xFFFF0000u, 0x52000000u);
    RECT r{};
    GetWindowRect(child, &r);
    POINT origin{0, 0};
    ClientToScreen(parent, &origin);
    EXPECT_EQ(r.left - origin.x, 10);
    EXPECT_EQ(r.top - origin.y, 20);
    EXPECT_EQ(r.right - r.left, 640);
    EXPECT_EQ(r.bottom - r.top, 480);
    const CScreenShot shot;
    ExpectBars(shot, POINT{r.left, r.top}, 640, 480, true);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    EXPECT_EQ(FindPreview(parent), nullptr) << "Close destroys the window";
    DestroyWindow(parent);
}

// Half readout: the top-level window's client area is the 1024 × 768 image,
// centred on the screen and drawn without scaling; 16-bit mode shows the same
// scene through the grey display buffer.
TEST_F(PreviewWindow, TopLevelWindowIsCentredAtTheImageSize) {
    ASSERT_EQ(VeltCam_SetSubSample(handle_, 1), 1);
    for (int bits : {24, 16}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        ASSERT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
        ShowFrames();
        HWND window = FindPreview(nullptr);
        ASSERT_NE(window, nullptr);
        RECT client{};
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 1024);
        EXPECT_EQ(client.bottom, 768);
        RECT outer{};
        GetWindowRect(window, &outer);
        EXPECT_NEAR(outer.left, (GetSystemMetrics(SM_CXSCREEN) - (outer.right - outer.left)) / 2, 1);
        EXPECT_NEAR(outer.top, std::max(0L, (GetSystemMetrics(SM_CYSCREEN) - (outer.bottom - outer.top)) / 2), 1);
        POINT origin{0, 0};
        ClientToScreen(window, &origin);
        const CScreenShot shot;
        ExpectBars(shot, origin, 1024, 768, bits == 24);
        EXPECT_EQ(VeltCam_Close(handle_), 1);
    }
}

TEST_F(PreviewWindow, CloseWithoutAWindowSucceeds) {
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

}  // namespace
}  // namespace veltcam
