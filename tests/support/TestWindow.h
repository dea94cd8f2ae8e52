// A real window that receives the SDK's posted messages in tests: an HWND_MESSAGE
// window on Windows, an SDK message window on Linux. Create and drain it on the
// same thread (Windows delivers a window's messages to its creating thread).
#pragma once

#include <cstdint>
#include <vector>

#include "VeltCamSdk.h"

namespace veltcam::test {

struct PostedMessage {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

class CTestWindow {
public:
    CTestWindow();
    ~CTestWindow();
    CTestWindow(const CTestWindow&) = delete;
    CTestWindow& operator=(const CTestWindow&) = delete;

    HWND Handle() const { return window_; }

    // Every message `message` waiting now (after a short grace period for posts
    // from other threads that are already under way).
    std::vector<PostedMessage> Take(uint32_t message, int graceMs = 20);

    // Messages posted to the calling thread's own queue (a null window).
    static std::vector<PostedMessage> TakeThreadMessages(uint32_t message, int graceMs = 20);

private:
    HWND window_;
};

}  // namespace veltcam::test
