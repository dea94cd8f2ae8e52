// Capture modes through the public API against the simulated camera: the mode
// state table, frame messages of the callback preview, single frames in every
// colour mode, hardware trigger, recording, and mode changes from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VeltCamSdk.h"
#include "support/PrivateSettingsStore.h"
#include "support/SceneChecks.h"
#include "support/SimTestSupport.h"
#include "support/TestWindow.h"

namespace veltcam {
namespace {

constexpr int kWidth = 2048;
constexpr int kHeight = 1536;
constexpr uint32_t kFrameMessage = VELTCAM_WM_FRAME;

void Drain(VeltCamHandle handle) {
    while (VeltCam_GetLastError(handle) != 0) {
    }
}

using test::RowBytes;

std::string TempPath(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string(name) + "-" + test::UniqueTableName() + ".avi"))
        .string();
}

class Capture : public testing::Test {
  protected:
    void Open(const std::string& options = "cameras=1") {
        test::UseSdkSimulator(options);
        handle_ = VeltCam_Initialize(nullptr);
        ASSERT_NE(handle_, 0u);
        // Headless: every mode runs without a preview window.
        ASSERT_EQ(VeltCam_SetPreviewWindow(handle_, nullptr, 0, 0, 0, 0), 1);
        Drain(handle_);
    }
    void TearDown() override {
        if (handle_ != 0) VeltCam_Release(handle_);
    }

    test::CPrivateSettingsStore store_;
    VeltCamHandle handle_ = 0;
};

// ---- Mode state table ----------------------------------------------------------------

enum Mode { kIdle, kPreview, kPrepared, kTrigger };
enum Op {
    kStartPreview,
    kPreviewOp,
    kCallBack,
    kCaptureOp,
    kSnapShot,
    kTriggerOp,
    kStop,
    kClose,
    kRecord
};

TEST_F(Capture, ModeStateTable) {
    Open("cameras=1;trigger=0");
    const std::string movie = TempPath("state");
    auto enter = [&](Mode m) {
        switch (m) {
            case kIdle:
                return 1;
            case kPreview:
                return VeltCam_StartPreview(handle_);
            case kPrepared:
                return VeltCam_Capture(handle_);
            case kTrigger:
                return VeltCam_Trigger(handle_, nullptr, nullptr, 0, 1);
        }
        return 0;
    };
    auto run = [&](Op op) {
        switch (op) {
            case kStartPreview:
                return VeltCam_StartPreview(handle_);
            case kPreviewOp:
                return VeltCam_Preview(handle_);
            case kCallBack:
                return VeltCam_CallBackPreview(handle_, nullptr, nullptr, 0, 1);
            case kCaptureOp:
                return VeltCam_Capture(handle_);
            case kSnapShot:
                return VeltCam_SnapShot(handle_, nullptr, 0, 1);
            case kTriggerOp:
                return VeltCam_Trigger(handle_, nullptr, nullptr, 0, 1);
            case kStop:
                return VeltCam_StopPreview(handle_);
            case kClose:
                return VeltCam_Close(handle_);
            case kRecord:
                return VeltCam_Record(handle_, movie.c_str(), 60000, 0);
        }
        return 0;
    };
    struct Row {
        Mode from;
        Op op;
        int result, code;
    };
    const Row rows[] = {
        {kIdle, kStartPreview, 1, 0},
        {kIdle, kPreviewOp, 1, 0},
        {kIdle, kCallBack, 1, 0},
        {kIdle, kCaptureOp, 1, 0},
        {kIdle, kSnapShot, 1, 0},
        {kIdle, kTriggerOp, 1, 0},
        {kIdle, kStop, 1, 0},
        {kIdle, kClose, 1, 0},
        {kIdle, kRecord, 1, 0},
        {kPreview, kStartPreview, 1, 0},
        {kPreview, kPreviewOp, 1, 0},
        {kPreview, kCallBack, 1, 0},
        {kPreview, kCaptureOp, 0, 1},
        {kPreview, kSnapShot, 0, 1},
        {kPreview, kTriggerOp, 0, 1},
        {kPreview, kStop, 1, 0},
        {kPreview, kClose, 1, 0},
        {kPreview, kRecord, 1, 0},
        {kPrepared, kStartPreview, 0, 1},
        {kPrepared, kPreviewOp, 0, 1},
        {kPrepared, kCallBack, 0, 1},
        {kPrepared, kCaptureOp, 1, 0},
        {kPrepared, kSnapShot, 1, 0},
        {kPrepared, kTriggerOp, 0, 1},
        {kPrepared, kStop, 1, 0},
        {kPrepared, kClose, 1, 0},
        {kPrepared, kRecord, 0, 1},
        {kTrigger, kStartPreview, 0, 1},
        {kTrigger, kPreviewOp, 0, 1},
        {kTrigger, kCallBack, 0, 1},
        {kTrigger, kCaptureOp, 0, 1},
        {kTrigger, kSnapShot, 0, 1},
        {kTrigger, kTriggerOp, 1, 0},
        {kTrigger, kStop, 1, 0},
        {kTrigger, kClose, 1, 0},
        {kTrigger, kRecord, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "from mode " << row.from << ", operation " << row.op);
        ASSERT_EQ(enter(row.from), 1);
        Drain(handle_);
        EXPECT_EQ(run(row.op), row.result);
        EXPECT_EQ(VeltCam_GetLastError(handle_), row.code);
        // A refused operation leaves the mode as it was: entering either of the
        // other two running modes is still refused, which holds in that mode alone.
        if (row.result == 0) {
            for (Mode other : {kPreview, kPrepared, kTrigger}) {
                if (other == row.from) continue;
                EXPECT_EQ(enter(other), 0) << "the mode changed: entering " << other << " passed";
                EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);
            }
        }
        EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
        Drain(handle_);
    }
    // A second recording while one runs is refused and leaves the first alone.
    ASSERT_EQ(VeltCam_Record(handle_, movie.c_str(), 60000, 0), 1);
    EXPECT_EQ(VeltCam_Record(handle_, movie.c_str(), 60000, 0), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    EXPECT_EQ(VeltCam_Record(handle_, "", 1000, 0), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_PARAMETER);
    std::filesystem::remove(movie);
}

// With two cameras attached and none selected, the core still sits at device number
// 0; every capture mode must refuse with "no device", not go on to fail later on a
// camera that was never opened. Refusals of a mode that starts the preview add
// their own code on top.
TEST_F(Capture, EveryCaptureModeWithoutASelectedCameraReportsNoDevice) {
    Open("cameras=2");
    const std::string movie = TempPath("unselected");
    std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(8)) * kHeight);
    const int size = static_cast<int>(buffer.size());
    struct Row {
        const char* name;
        std::function<int()> call;
        std::vector<int> codes;  // newest first
    };
    const Row rows[] = {
        {"StartPreview", [&] { return VeltCam_StartPreview(handle_); }, {ERR_NO_DEVICE}},
        {"Preview", [&] { return VeltCam_Preview(handle_); }, {ERR_TRANSFER, ERR_NO_DEVICE}},
        {"CallBackPreview",
         [&] { return VeltCam_CallBackPreview(handle_, nullptr, buffer.data(), size, 1); },
         {ERR_TRANSFER, ERR_NO_DEVICE}},
        {"Capture", [&] { return VeltCam_Capture(handle_); }, {ERR_NO_DEVICE}},
        {"SnapShot", [&] { return VeltCam_SnapShot(handle_, buffer.data(), size, 1); },
         {ERR_NO_DEVICE}},
        {"Trigger", [&] { return VeltCam_Trigger(handle_, nullptr, buffer.data(), size, 1); },
         {ERR_NO_DEVICE}},
        {"Record", [&] { return VeltCam_Record(handle_, movie.c_str(), 1000, 0); },
         {ERR_FAILED, ERR_NO_DEVICE}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.call(), 0);
        std::vector<int> codes;
        while (int code = VeltCam_GetLastError(handle_)) codes.push_back(code);
        EXPECT_EQ(codes, row.codes);
    }
    EXPECT_FALSE(std::filesystem::exists(movie));
    // Once a camera is selected the same calls capture.
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    EXPECT_EQ(VeltCam_SnapShot(handle_, buffer.data(), size, 1), 1);
}

// ---- Scene checks --------------------------------------------------------------------

using test::ExpectScene;

TEST_F(Capture, SnapShotShowsTheSceneUprightInEveryColourMode) {
    Open();
    for (int bits : {8, 16, 24, 32, 48, 64}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        ASSERT_EQ(VeltCam_SetColorMode(handle_, bits), 1);
        std::vector<uint8_t> image(static_cast<size_t>(RowBytes(bits)) * kHeight);
        ASSERT_EQ(VeltCam_SnapShot(handle_, image.data(), static_cast<int>(image.size()), 1), 1);
        ExpectScene(image, bits);
    }
}

TEST_F(Capture, SnapShotKeepsTheImageForGetImageAndRefusesAShortBuffer) {
    Open();
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    const int size = RowBytes(24) * kHeight;
    ASSERT_EQ(VeltCam_SnapShot(handle_, nullptr, 0, 1), 1);
    std::vector<uint8_t> topDown(size), bottomUp(size);
    ASSERT_EQ(VeltCam_GetImage(handle_, topDown.data(), size, 1), 1);
    ASSERT_EQ(VeltCam_GetImage(handle_, bottomUp.data(), size, 0), 1);
    ExpectScene(topDown, 24);
    for (int r : {0, 1, 767, kHeight - 1}) {
        EXPECT_EQ(0, std::memcmp(&topDown[static_cast<size_t>(r) * RowBytes(24)],
                                 &bottomUp[static_cast<size_t>(kHeight - 1 - r) * RowBytes(24)],
                                 RowBytes(24)))
            << "row " << r;
    }
    Drain(handle_);
    EXPECT_EQ(VeltCam_SnapShot(handle_, topDown.data(), size - 1, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_MEMORY);
    // The image lock was let go on the failure path.
    auto other = std::async(std::launch::async,
                            [&] { return VeltCam_GetImage(handle_, bottomUp.data(), size, 1); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(other.get(), 1);
    EXPECT_EQ(VeltCam_GetImage(handle_, nullptr, size, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_MEMORY);
}

// ---- Callback preview ----------------------------------------------------------------

std::vector<test::PostedMessage> Collect(test::CTestWindow& window, int ms) {
    std::vector<test::PostedMessage> all;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        for (auto& m : window.Take(kFrameMessage, 50)) all.push_back(m);
    }
    return all;
}

// Frame messages until at least `count` have come, or `ms` have passed: slow
// builds (sanitizers, Wine) take longer per frame, not a different path.
std::vector<test::PostedMessage> CollectAtLeast(test::CTestWindow& window, size_t count, int ms) {
    std::vector<test::PostedMessage> all;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (all.size() < count && std::chrono::steady_clock::now() < end) {
        for (auto& m : window.Take(kFrameMessage, 50)) all.push_back(m);
    }
    return all;
}

TEST_F(Capture, CallBackPreviewPostsOneFrameMessagePerFrame) {
    Open();
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    test::CTestWindow window;
    std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(24)) * kHeight);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), buffer.data(),
                                      static_cast<int>(buffer.size()), 1),
              1);
    // The rate is measured over a second, so collect for at least that long.
    auto messages = Collect(window, 1100);
    for (auto& m : CollectAtLeast(window, 5, 30000)) messages.push_back(m);
    ASSERT_EQ(VeltCam_StopPreview(handle_), 1);
    for (auto& m : window.Take(kFrameMessage)) messages.push_back(m);
    ASSERT_GE(messages.size(), 5u);
    const VeltCamFrameInfo* info = nullptr;
    for (const auto& m : messages) {
        EXPECT_EQ(m.lParam, 0);
        ASSERT_NE(m.wParam, 0u);
        if (info == nullptr) info = reinterpret_cast<const VeltCamFrameInfo*>(m.wParam);
        EXPECT_EQ(reinterpret_cast<const VeltCamFrameInfo*>(m.wParam), info) << "one record";
    }
    EXPECT_EQ(info->reserved, 0);
    EXPECT_EQ(info->width, kWidth);
    EXPECT_EQ(info->height, kHeight);
    EXPECT_EQ(info->bitsPerPixel, 24);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(info->buffer), buffer.data());
    // Measured over at least a second, in frames per 10 s.
    EXPECT_GT(info->frameRate, 0);
    ExpectScene(buffer, 24);
    EXPECT_EQ(VeltCam_GetLastError(handle_), 0);
}

TEST_F(Capture, CallBackPreviewWithAShortBufferPostsMemoryFailures) {
    Open();
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    test::CTestWindow window;
    std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(8)) * kHeight - 1);
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), buffer.data(),
                                      static_cast<int>(buffer.size()), 1),
              1);
    auto messages = CollectAtLeast(window, 2, 30000);
    ASSERT_EQ(VeltCam_StopPreview(handle_), 1);
    ASSERT_FALSE(messages.empty());
    for (const auto& m : messages) {
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, ERR_MEMORY);
    }
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_MEMORY);
}

TEST_F(Capture, UnpluggedCameraEndsThePreviewLoopWithOneTimeoutMessage) {
    Open("cameras=1;faults=unplug@10");
    test::CTestWindow window;
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), nullptr, 0, 1), 1);
    std::vector<test::PostedMessage> failures;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (failures.empty() && std::chrono::steady_clock::now() < end) {
        for (auto& m : window.Take(kFrameMessage, 50)) {
            if (m.lParam != 0) failures.push_back(m);
        }
    }
    for (auto& m : Collect(window, 300)) {
        if (m.lParam != 0) failures.push_back(m);
    }
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].wParam, 0u);
    EXPECT_EQ(failures[0].lParam, ERR_TIMEOUT);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_TIMEOUT);
    // The mode stays continuous preview until it is stopped.
    EXPECT_EQ(VeltCam_StartPreview(handle_), 1);
    EXPECT_EQ(VeltCam_Capture(handle_), 0);
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
}

// ---- Auto iris -------------------------------------------------------------------------

// The preview's frames drive the camera through the application's own setters:
// the new exposure or gain is what the application reads back.
TEST_F(Capture, AutoIrisDrivesExposureAndGainFromThePreview) {
    Open("cameras=1;fps=max");
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    test::CTestWindow window;
    auto runUntil = [&](auto&& changed) {
        ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), nullptr, 0, 1), 1);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!changed() && std::chrono::steady_clock::now() < end) window.Take(kFrameMessage, 50);
        EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    };
    int ok = 0;
    // A very short exposure leaves the scene dark: mode 1 lengthens the exposure
    // and leaves the gain alone, mode 2 raises the gain and leaves the exposure.
    ASSERT_EQ(VeltCam_SetExposureTime(handle_, 20), 1);
    const int gain = VeltCam_GetGlobalGain(handle_, &ok);
    ASSERT_EQ(VeltCam_SetAutoIris(handle_, 1), 1);
    runUntil([&] { return VeltCam_GetExposureTime(handle_, &ok) > 20; });
    EXPECT_GT(VeltCam_GetExposureTime(handle_, &ok), 20);
    EXPECT_EQ(VeltCam_GetGlobalGain(handle_, &ok), gain);

    ASSERT_EQ(VeltCam_SetExposureTime(handle_, 20), 1);
    ASSERT_EQ(VeltCam_SetAutoIris(handle_, 2), 1);
    runUntil([&] { return VeltCam_GetGlobalGain(handle_, &ok) > gain; });
    EXPECT_GT(VeltCam_GetGlobalGain(handle_, &ok), gain);
    EXPECT_EQ(VeltCam_GetExposureTime(handle_, &ok), 20);
}

// ---- Trigger ---------------------------------------------------------------------------

TEST_F(Capture, TriggerDeliversOneFramePerTrigger) {
    Open("cameras=1;trigger=150");
    // A small window keeps each frame's conversion well inside the trigger
    // period on slow builds, so the count shows the trigger, not the converter.
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, kWidth, 512, 256, kHeight, 512, 192), 1);
    test::CTestWindow window;
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(8)) * kHeight);
    ASSERT_EQ(VeltCam_Trigger(handle_, window.Handle(), buffer.data(),
                              static_cast<int>(buffer.size()), 1),
              1);
    // Let the loop settle on the trigger source, then count over a window.
    Collect(window, 1000);
    auto messages = Collect(window, 3000);
    ASSERT_EQ(VeltCam_StopPreview(handle_), 1);
    for (const auto& m : messages) {
        EXPECT_EQ(m.lParam, 0);
        EXPECT_EQ(reinterpret_cast<const VeltCamFrameInfo*>(m.wParam)->frameRate, 0);
    }
    // 3000 ms at one trigger every 150 ms: 20 triggers, give or take the edges of
    // the counting window; a missed or doubled frame would leave that range.
    EXPECT_GE(messages.size(), 18u);
    EXPECT_LE(messages.size(), 21u);
}

// A refused preview, callback preview or recording in trigger mode leaves the
// session as the application set it up: the trigger frames keep coming to the
// first window and into the first buffer, and nothing reaches the second ones.
TEST_F(Capture, RefusedStartsLeaveTheTriggerSessionRunning) {
    Open("cameras=1;trigger=100");
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, kWidth, 512, 256, kHeight, 512, 192), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    const std::string movie = TempPath("refused");
    test::CTestWindow window;
    test::CTestWindow other;
    std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(8)) * kHeight, 0);
    std::vector<uint8_t> otherBuffer(buffer.size(), 0xEE);
    const int size = static_cast<int>(buffer.size());
    ASSERT_EQ(VeltCam_Trigger(handle_, window.Handle(), buffer.data(), size, 1), 1);
    ASSERT_FALSE(CollectAtLeast(window, 1, 10000).empty());

    EXPECT_EQ(VeltCam_Preview(handle_), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);
    EXPECT_EQ(VeltCam_CallBackPreview(handle_, other.Handle(), otherBuffer.data(), size, 1), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);
    EXPECT_EQ(VeltCam_Record(handle_, movie.c_str(), 1000, 0), 0);
    EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);

    window.Take(kFrameMessage, 0);
    EXPECT_GE(CollectAtLeast(window, 2, 10000).size(), 2u) << "trigger frames stopped";
    EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    EXPECT_TRUE(std::any_of(buffer.begin(), buffer.end(), [](uint8_t v) { return v != 0; }));
    EXPECT_TRUE(other.Take(kFrameMessage, 0).empty());
    EXPECT_TRUE(std::all_of(otherBuffer.begin(), otherBuffer.end(),
                            [](uint8_t v) { return v == 0xEE; }))
        << "a refused call replaced the callback buffer";
    EXPECT_FALSE(std::filesystem::exists(movie));
}

// Selecting a camera that is not there, or the one in use, changes nothing: the
// running preview or trigger session keeps delivering. Only a real switch stops
// it, since its buffers and thread belong to the camera being left.
TEST_F(Capture, SetDeviceNumberStopsTheRunningModeOnlyForARealSwitch) {
    Open("cameras=2;trigger=100");
    ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, kWidth, 512, 256, kHeight, 512, 192), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    test::CTestWindow window;
    const std::pair<const char*, std::function<int()>> sessions[] = {
        {"preview", [&] { return VeltCam_CallBackPreview(handle_, window.Handle(), nullptr, 0, 1); }},
        {"trigger", [&] { return VeltCam_Trigger(handle_, window.Handle(), nullptr, 0, 1); }},
    };
    for (const auto& [name, start] : sessions) {
        SCOPED_TRACE(name);
        ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
        Drain(handle_);
        ASSERT_EQ(start(), 1);
        ASSERT_FALSE(CollectAtLeast(window, 1, 10000).empty());
        EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 7), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NO_DEVICE);
        EXPECT_EQ(VeltCam_SetDeviceNumber(handle_, 0), 1);
        window.Take(kFrameMessage, 0);
        EXPECT_GE(CollectAtLeast(window, 2, 10000).size(), 2u) << "frames stopped";
        // Still running: a capture cannot be prepared beside it.
        EXPECT_EQ(VeltCam_Capture(handle_), 0);
        EXPECT_EQ(VeltCam_GetLastError(handle_), ERR_NOT_READY);

        ASSERT_EQ(VeltCam_SetDeviceNumber(handle_, 1), 1);
        window.Take(kFrameMessage, 0);
        EXPECT_TRUE(Collect(window, 500).empty()) << "the session outlived the switch";
        EXPECT_EQ(VeltCam_Capture(handle_), 1) << "the mode is idle after the switch";
        EXPECT_EQ(VeltCam_StopPreview(handle_), 1);
    }
}

// ---- Recording -----------------------------------------------------------------------

TEST_F(Capture, RecordingEndsByItselfAfterItsDuration) {
    Open();
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    const std::string movie = TempPath("record");
    const std::string second = TempPath("second");
    ASSERT_EQ(VeltCam_Record(handle_, movie.c_str(), 500, 0), 1);
    // A recording still running refuses the next one; once it has ended the
    // next one starts.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int again = 0;
    while (again == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        again = VeltCam_Record(handle_, second.c_str(), 60000, 0);
    }
    ASSERT_EQ(again, 1);
    ASSERT_EQ(VeltCam_StopPreview(handle_), 1);
    const auto frameBytes = static_cast<uintmax_t>(kWidth) * kHeight * 3;
    EXPECT_GT(std::filesystem::file_size(movie), frameBytes) << "at least one frame";
    std::filesystem::remove(movie);
    std::filesystem::remove(second);
}

// ---- Several threads -----------------------------------------------------------------

TEST_F(Capture, ModeChangesFromSeveralThreads) {
    Open("cameras=1;fps=max");
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 8), 1);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            std::vector<uint8_t> buffer(static_cast<size_t>(RowBytes(8)) * kHeight);
            const int size = static_cast<int>(buffer.size());
            while (!stop.load()) {
                switch (random() % 5) {
                    case 0:
                        VeltCam_StartPreview(handle_);
                        break;
                    case 1:
                        VeltCam_StopPreview(handle_);
                        break;
                    case 2:
                        VeltCam_SnapShot(handle_, buffer.data(), size, 1);
                        break;
                    case 3:
                        VeltCam_GetImage(handle_, buffer.data(), size, 0);
                        break;
                    default:
                        VeltCam_GetLastError(handle_);
                        break;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // Released while the others are still calling: their calls finish on the
    // object, later ones find no handle.
    VeltCam_Release(handle_);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(VeltCam_StartPreview(handle_), 0);
    handle_ = 0;
}

// Every setting the display thread reads while it converts a frame is changed
// from another thread while frames stream; saving stills runs alongside. The
// preview must keep delivering frames and, under the thread sanitizer, no
// access may race.
TEST_F(Capture, SettingsChangeWhileFramesStream) {
    Open("cameras=1;fps=max");
    ASSERT_EQ(VeltCam_SetCaptureWindowEx(handle_, kWidth, 512, 256, kHeight, 512, 192), 1);
    ASSERT_EQ(VeltCam_SetColorMode(handle_, 24), 1);
    test::CTestWindow window;
    ASSERT_EQ(VeltCam_CallBackPreview(handle_, window.Handle(), nullptr, 0, 1), 1);
    std::atomic<bool> stop{false};
    const std::string still = TempPath("still") + ".bmp";
    std::thread setter([&] {
        for (int i = 0; !stop.load(); ++i) {
            const int on = i & 1;
            VeltCam_SetHue(handle_, on ? 30 : 0);
            VeltCam_SetSaturation(handle_, on ? 40 : 0);
            VeltCam_SetGamma(handle_, on ? 120 : 100);
            VeltCam_SetContrast(handle_, on ? 20 : 0);
            VeltCam_SetSharpness(handle_, on ? 50 : 0);
            VeltCam_SetBrightness(handle_, on ? 10 : 0);
            VeltCam_SetBayerGainRGB(handle_, on ? 0x506070 : 0x646464);
            VeltCam_SetGrayMode(handle_, i % 3);
            VeltCam_SetChannelGain(handle_, i & 3, 90 + on * 20);
            VeltCam_SetMirrorH(handle_, on);
            VeltCam_SetMirrorV(handle_, on);
            VeltCam_SetAutoIris(handle_, on);
            VeltCam_SetDotFilter(handle_, on);
            VeltCam_SetMaskFilter(handle_, on);
            VeltCam_SetWaitTime(handle_, on);
            VeltCam_SetColorMode(handle_, on ? 32 : 24);
            VeltCam_SaveImage(handle_, still.c_str(), 0);
        }
    });
    auto messages = Collect(window, 2000);
    stop = true;
    setter.join();
    ASSERT_EQ(VeltCam_StopPreview(handle_), 1);
    size_t frames = 0;
    for (const auto& m : messages) frames += m.lParam == 0 ? 1 : 0;
    EXPECT_GE(frames, 2u);
    std::filesystem::remove(still);
}

}  // namespace
}  // namespace veltcam
