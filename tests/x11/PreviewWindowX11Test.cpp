// The Linux preview window as a person sees it: where it goes, how big it is, and
// what the X server shows once frames have been drawn, read back from the server.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "VeltCamSdk.h"
#include "VeltCamSdkLinux.h"
#include "support/PrivateSettingsStore.h"
#include "support/SceneChecks.h"
#include "support/SimTestSupport.h"
#include "support/TestWindow.h"

// Xlib last: its macros (None, Bool, Status) would rename what the headers above declare.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace veltcam {
namespace {

constexpr auto kHangGuard = std::chrono::seconds(30);

// A window's pixels as the server has them, top row first.
struct Shot {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB

    // Mean R, G, B of the 16 × 16 block around (x, y): monochrome modes show the
    // raw mosaic, whose single pixels alternate between channels.
    std::array<int, 3> At(int x, int y) const {
        std::array<int, 3> sum{};
        for (int r = y - 8; r < y + 8; ++r) {
            for (int c = x - 8; c < x + 8; ++c) {
                const uint32_t p = pixels[static_cast<size_t>(r) * width + c];
                sum[0] += p >> 16 & 0xFF;
                sum[1] += p >> 8 & 0xFF;
                sum[2] += p & 0xFF;
            }
        }
        for (int& v : sum) v /= 256;
        return sum;
    }

    void SavePpm(const std::string& name) const {
        std::filesystem::create_directories("preview-screenshots");
        FILE* file = std::fopen(("preview-screenshots/" + name + ".ppm").c_str(), "wb");
        if (file == nullptr) return;
        std::fprintf(file, "P6\n%d %d\n255\n", width, height);
        for (uint32_t p : pixels) {
            const unsigned char rgb[3] = {static_cast<unsigned char>(p >> 16),
                                          static_cast<unsigned char>(p >> 8),
                                          static_cast<unsigned char>(p)};
            std::fwrite(rgb, 1, 3, file);
        }
        std::fclose(file);
    }
};

// The test's own connection to the display, apart from the SDK's.
class CDisplay {
  public:
    CDisplay() : display_(XOpenDisplay(nullptr)) {
        // The SDK's windows come and go while the test looks at the tree: a window
        // gone between listing and asking is no failure of the test. Installed
        // before the SDK's own handler, which passes other connections' errors on.
        static const XErrorHandler previous =
            XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        (void)previous;
    }
    ~CDisplay() {
        if (display_ != nullptr) XCloseDisplay(display_);
    }
    Display* get() const { return display_; }
    Window Root() const { return DefaultRootWindow(display_); }

    // A mapped top-level window of the test, standing for the application's.
    Window MakeParent(int width, int height) {
        Window window = XCreateSimpleWindow(display_, Root(), 0, 0, width, height, 0, 0, 0x202020);
        XMapWindow(display_, window);
        XSync(display_, False);
        return window;
    }

    std::vector<Window> Children(Window parent) const {
        Window root = 0;
        Window up = 0;
        Window* children = nullptr;
        unsigned count = 0;
        std::vector<Window> result;
        if (XQueryTree(display_, parent, &root, &up, &children, &count) != 0) {
            result.assign(children, children + count);
            XFree(children);
        }
        return result;
    }

    // The SDK's window among the children of `parent`, by its name.
    Window Find(Window parent, const char* name) const {
        for (Window w : Children(parent)) {
            char* text = nullptr;
            const bool match =
                XFetchName(display_, w, &text) != 0 && text != nullptr && std::string(text) == name;
            if (text != nullptr) XFree(text);
            if (match) return w;
        }
        return 0;
    }

    XWindowAttributes Attributes(Window window) const {
        XWindowAttributes a{};
        XGetWindowAttributes(display_, window, &a);
        return a;
    }

    Shot Grab(Window window) const {
        Shot shot;
        const XWindowAttributes a = Attributes(window);
        XImage* image = XGetImage(display_, window, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
        if (image == nullptr) return shot;
        shot.width = a.width;
        shot.height = a.height;
        shot.pixels.resize(static_cast<size_t>(a.width) * a.height);
        for (int y = 0; y < a.height; ++y) {
            for (int x = 0; x < a.width; ++x) {
                shot.pixels[static_cast<size_t>(y) * a.width + x] =
                    static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF;
            }
        }
        XDestroyImage(image);
        return shot;
    }

  private:
    Display* display_;
};

// Every bar shows its colour at the height of the bars, in order, and the grey
// ramp below grows to the right; monochrome modes are grey throughout.
void ExpectScene(const Shot& shot, bool colour) {
    ASSERT_GT(shot.width, 32);
    ASSERT_GT(shot.height, 32);
    for (int bar = 0; bar < 8; ++bar) {
        SCOPED_TRACE(testing::Message() << "bar " << bar);
        const std::array<int, 3> rgb = shot.At(shot.width * (2 * bar + 1) / 16, shot.height / 4);
        if (colour) {
            test::ExpectBarOnScreen(rgb, bar);
        } else {
            // The raw mosaic in grey: which filter colours a scaled window samples
            // depends on its size, so only the ends of the row of bars are fixed.
            EXPECT_EQ(rgb[0], rgb[1]);
            EXPECT_EQ(rgb[1], rgb[2]);
            if (bar == 0) {
                EXPECT_GT(rgb[0], 100) << "white bar";
            }
            if (bar == 7) {
                EXPECT_LT(rgb[0], 40) << "black bar";
            }
        }
    }
    // Below the bars the ramp starts dark on the left (so the picture is not
    // upside down) and grows to the right.
    const int y = shot.height * 7 / 8;
    EXPECT_LT(shot.At(shot.width / 16, y)[1], 60) << "ramp start";
    EXPECT_LT(shot.At(shot.width / 16, y)[1], shot.At(shot.width * 15 / 16, y)[1]) << "ramp";
}

bool ShowsPicture(const Shot& shot) {
    return shot.width > 32 && shot.height > 32 &&
           shot.At(shot.width / 16, shot.height / 4)[1] > 100;  // the white bar
}

class PreviewX11 : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(display_.get(), nullptr) << "no X display (run under xvfb-run)";
        Open("cameras=1");
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }
    void Open(const std::string& options) {
        test::UseSdkSimulator(options);
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
    }

    // Waits until `count` frames have been posted to the test's message window.
    void WaitFrames(size_t count) {
        size_t frames = 0;
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        while (frames < count && std::chrono::steady_clock::now() < end) {
            for (const auto& m : messages_.Take(VELTCAM_WM_FRAME, 50)) {
                if (m.lParam == 0) ++frames;
            }
        }
        ASSERT_GE(frames, count);
    }

    // The window's picture once the scene has reached the server (frames are
    // sent without waiting, so the newest may still be on its way).
    Shot Picture(Window window) {
        Shot shot;
        const auto end = std::chrono::steady_clock::now() + kHangGuard;
        do {
            shot = display_.Grab(window);
            if (ShowsPicture(shot)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return shot;
    }

    CDisplay display_;
    test::CPrivateSettingsStore store_;
    test::CTestWindow messages_;
    VeltCamHandle handle_ = 0;
};

// The thread-sanitizer build runs one grey and one colour mode: what it looks for
// is in the window's threads, not in the other modes' conversions, which cost it
// most of a minute here; the other builds run the whole table.
#if defined(__SANITIZE_THREAD__)
constexpr int kTableModes[] = {8, 24};
#else
constexpr int kTableModes[] = {8, 16, 24, 32, 48, 64};
#endif

enum class Placement { kChild, kChildMoved, kTopLevel, kTopLevelResized };

const char* Name(Placement p) {
    switch (p) {
        case Placement::kChild:
            return "child";
        case Placement::kChildMoved:
            return "child-moved";
        case Placement::kTopLevel:
            return "top-level";
        default:
            return "top-level-resized";
    }
}

// Colour modes × placements, through the callback preview at half readout
// (1024 × 768 images): the window is where it was asked for, at its size, and
// shows the scene upright in its colours (grey in the monochrome modes).
TEST_F(PreviewX11, EveryColourModeInEveryPlacementShowsTheScene) {
    ASSERT_EQ(VeltCam_SetSubSample(handle_, 1), 1);
    Display* d = display_.get();
    for (int bits : kTableModes) {
        for (Placement placement : {Placement::kChild, Placement::kChildMoved, Placement::kTopLevel,
                                    Placement::kTopLevelResized}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << Name(placement));
            ASSERT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
            const bool child =
                placement == Placement::kChild || placement == Placement::kChildMoved;
            Window parent = child ? display_.MakeParent(800, 600) : 0;
            HWND parentHandle = child ? VeltCamLinux_PreviewParent(parent) : nullptr;
            if (child) {
                ASSERT_NE(parentHandle, nullptr);
            }
            ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, parentHandle, 10, 20, 640, 480), 1);
            ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
            WaitFrames(2);

            Window window = child ? display_.Find(parent, "ActiveMovie Window")
                                  : display_.Find(display_.Root(), "Active Window");
            ASSERT_NE(window, 0u);
            int x = 10, y = 20, width = 640, height = 480;
            if (!child) {
                width = 1024;
                height = 768;
                x = (DisplayWidth(d, 0) - width) / 2;
                y = (DisplayHeight(d, 0) - height) / 2;
            }
            if (placement == Placement::kChildMoved) {
                x = 30, y = 40, width = 400, height = 300;
                ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, parentHandle, x, y, width, height), 1);
            } else if (placement == Placement::kTopLevelResized) {
                width = 700, height = 500;
                XResizeWindow(d, window, width, height);
                XSync(d, False);
            }
            if (placement == Placement::kChildMoved || placement == Placement::kTopLevelResized) {
                messages_.Take(VELTCAM_WM_FRAME, 0);
                WaitFrames(2);
            }
            const XWindowAttributes a = display_.Attributes(window);
            EXPECT_EQ(a.x, x);
            EXPECT_EQ(a.y, y);
            EXPECT_EQ(a.width, width);
            EXPECT_EQ(a.height, height);
            Shot shot = Picture(window);
            if (placement == Placement::kChild) shot.SavePpm("mode-" + std::to_string(bits));
            if (bits == 24 && placement != Placement::kChild) shot.SavePpm(Name(placement));
            ExpectScene(shot, bits >= 24);

            EXPECT_EQ(VeltCam_Close(handle_), 1);
            if (child) {
                EXPECT_TRUE(display_.Children(parent).empty()) << "Close removes the child";
                XDestroyWindow(d, parent);
            } else {
                EXPECT_EQ(display_.Find(display_.Root(), "Active Window"), 0u)
                    << "Close removes the window";
            }
            XSync(d, False);
            messages_.Take(VELTCAM_WM_FRAME, 0);
        }
    }
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

// The continuous preview (no frame messages) and trigger mode draw as well.
TEST_F(PreviewX11, ContinuousPreviewAndTriggerModeDraw) {
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    Window parent = display_.MakeParent(800, 600);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, VeltCamLinux_PreviewParent(parent), 0, 0, 512, 384),
              1);
    ASSERT_EQ(VeltCam_Preview(handle_), 1);
    Window window = display_.Find(parent, "ActiveMovie Window");
    ASSERT_NE(window, 0u);
    ExpectScene(Picture(window), true);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    VeltCam_Release(handle_);
    handle_ = 0;

    Open("cameras=1;trigger=150");
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, VeltCamLinux_PreviewParent(parent), 0, 0, 512, 384),
              1);
    std::vector<uint8_t> buffer(static_cast<size_t>(2048) * 1536);
    ASSERT_EQ(VeltCam_Trigger(handle_, messages_.Handle(), buffer.data(),
                              static_cast<int>(buffer.size()), 1),
              1);
    WaitFrames(1);
    window = display_.Find(parent, "ActiveMovie Window");
    ASSERT_NE(window, 0u);
    ExpectScene(Picture(window), false);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    EXPECT_TRUE(display_.Children(parent).empty());
    XDestroyWindow(display_.get(), parent);
}

// The headless placement makes no window anywhere; parents that are no X11
// window are refused, and so is every window when no display can be reached.
TEST_F(PreviewX11, WindowsThatCannotOrNeedNotBeMade) {
    const size_t topLevels = display_.Children(display_.Root()).size();
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
    WaitFrames(2);
    EXPECT_EQ(display_.Children(display_.Root()).size(), topLevels);
    EXPECT_EQ(VeltCam_Close(handle_), 1);

    EXPECT_EQ(VeltCamLinux_PreviewParent(0), nullptr);
    EXPECT_EQ(VeltCamLinux_PreviewParent(0x1FFFFFFF), nullptr) << "no such window";

    // A message window stands for no X11 window.
    test::CTestWindow notAWindow;
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, notAWindow.Handle(), 0, 0, 320, 240), 1);
    while (VeltCam_GetLastError(handle_) != 0) {
    }
    EXPECT_EQ(VeltCam_Preview(handle_), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_WINDOW);

    // No display: the window cannot be made, exactly as a failed window.
    const std::string saved = std::getenv("DISPLAY");
    unsetenv("DISPLAY");
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 2048, 1536), 1);
    EXPECT_EQ(VeltCam_Preview(handle_), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_WINDOW);
    setenv("DISPLAY", saved.c_str(), 1);
    // With the display back, the same placement works.
    EXPECT_EQ(VeltCam_Preview(handle_), 1);
    EXPECT_NE(display_.Find(display_.Root(), "Active Window"), 0u);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
}

// The window manager's close button on the SDK's own window: the window goes,
// the preview keeps running without it, and Close after that is harmless.
TEST_F(PreviewX11, CloseButtonTakesTheWindowAndThePreviewRunsOn) {
    ASSERT_EQ(VeltCam_SetSubSample(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 2048, 1536), 1);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
    WaitFrames(2);
    Display* d = display_.get();
    const Window window = display_.Find(display_.Root(), "Active Window");
    ASSERT_NE(window, 0u);
    XEvent close{};
    close.xclient.type = ClientMessage;
    close.xclient.window = window;
    close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    close.xclient.format = 32;
    close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    XSendEvent(d, window, False, NoEventMask, &close);
    XSync(d, False);
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (display_.Find(display_.Root(), "Active Window") != 0 &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(display_.Find(display_.Root(), "Active Window"), 0u);
    messages_.Take(VELTCAM_WM_FRAME, 0);
    WaitFrames(2);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

// The camera goes away while frames are drawn: the loop ends with its one
// time-out, and the window stays until Close takes it.
TEST_F(PreviewX11, UnplugWhileDrawingEndsCleanly) {
    VeltCam_Release(handle_);
    Open("cameras=1;faults=unplug@10");
    Window parent = display_.MakeParent(800, 600);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, VeltCamLinux_PreviewParent(parent), 0, 0, 640, 480),
              1);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
    int failures = 0;
    const auto end = std::chrono::steady_clock::now() + kHangGuard;
    while (failures == 0 && std::chrono::steady_clock::now() < end) {
        for (const auto& m : messages_.Take(VELTCAM_WM_FRAME, 50)) {
            if (m.lParam != 0) {
                EXPECT_EQ(m.lParam, ERR_TIMEOUT);
                ++failures;
            }
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(display_.Children(parent).size(), 1u);
    EXPECT_EQ(VeltCam_Close(handle_), 1);
    EXPECT_TRUE(display_.Children(parent).empty());
    XDestroyWindow(display_.get(), parent);
}

// Settings and placements change from another thread while the display thread
// draws (the thread-sanitizer build runs this), and the user closes the window
// meanwhile; the parent going away with the child in it is survived too.
TEST_F(PreviewX11, SettingsAndPlacementChangeWhileDrawing) {
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    CDisplay app;
    Window parent = app.MakeParent(800, 600);
    HWND parentHandle = VeltCamLinux_PreviewParent(parent);
    ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, parentHandle, 0, 0, 640, 480), 1);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, messages_.Handle(), nullptr, 0, 1), 1);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; !done.load(); ++i) {
            VeltCam_SetExposureTimeEx(handle_, 5.0 + i % 20);
            VeltCam_SetPreviewWindow(handle_, parentHandle, i % 50, i % 30, 300 + i % 300,
                                     200 + i % 200);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    WaitFrames(5);
    // The application's window goes, and the SDK's child with it.
    XDestroyWindow(app.get(), parent);
    XSync(app.get(), False);
    messages_.Take(VELTCAM_WM_FRAME, 0);
    WaitFrames(3);
    done = true;
    changer.join();
    EXPECT_EQ(VeltCam_Close(handle_), 1);
}

}  // namespace
}  // namespace veltcam
