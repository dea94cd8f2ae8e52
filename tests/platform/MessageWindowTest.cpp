// Linux message windows: the queues that stand in for application windows.
#include <gtest/gtest.h>

#include <thread>

#include "VeltCamSdkLinux.h"

namespace {

TEST(MessageWindow, DeliversInOrderAndTimesOut) {
    HWND window = VeltCamLinux_CreateMessageWindow(0);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 0x8003, 0, 9), 1);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 0x8002, 7, 0), 1);
    VeltCamMessage message;
    ASSERT_EQ(VeltCamLinux_GetMessage(window, &message, 0), 1);
    EXPECT_EQ(message.message, 0x8003u);
    EXPECT_EQ(message.lParam, 9);
    EXPECT_EQ(message.window, window);
    ASSERT_EQ(VeltCamLinux_GetMessage(window, &message, 0), 1);
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_EQ(VeltCamLinux_GetMessage(window, &message, 10), 0);
    EXPECT_EQ(VeltCamLinux_GetMessage(window, nullptr, 0), -1);
    EXPECT_EQ(VeltCamLinux_DestroyMessageWindow(window), 1);
}

TEST(MessageWindow, FullQueueRefusesAndDestroyedWindowIsUnknown) {
    HWND window = VeltCamLinux_CreateMessageWindow(2);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 1, 0, 0), 1);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 2, 0, 0), 1);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 3, 0, 0), 0);
    EXPECT_EQ(VeltCamLinux_DestroyMessageWindow(window), 1);
    EXPECT_EQ(VeltCamLinux_DestroyMessageWindow(window), 0);
    EXPECT_EQ(VeltCamLinux_PostMessage(window, 4, 0, 0), 0);
    VeltCamMessage message;
    EXPECT_EQ(VeltCamLinux_GetMessage(window, &message, 0), -1);
}

TEST(MessageWindow, WakesAReaderBlockedInAnotherThreadAndOnDestroy) {
    HWND window = VeltCamLinux_CreateMessageWindow(0);
    int got = -2;
    std::thread reader([&] {
        VeltCamMessage message;
        got = VeltCamLinux_GetMessage(window, &message, -1);
    });
    VeltCamLinux_PostMessage(window, 5, 0, 0);
    reader.join();
    EXPECT_EQ(got, 1);

    std::thread waiter([&] {
        VeltCamMessage message;
        got = VeltCamLinux_GetMessage(window, &message, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    VeltCamLinux_DestroyMessageWindow(window);
    waiter.join();
    EXPECT_EQ(got, 0);
}

TEST(MessageWindow, NullWindowIsTheCallingThreadsOwnQueue) {
    EXPECT_EQ(VeltCamLinux_PostMessage(nullptr, 11, 0, 0), 1);
    std::thread other([] {
        VeltCamMessage message;
        EXPECT_EQ(VeltCamLinux_GetMessage(nullptr, &message, 0), 0);
    });
    other.join();
    VeltCamMessage message;
    ASSERT_EQ(VeltCamLinux_GetMessage(nullptr, &message, 0), 1);
    EXPECT_EQ(message.message, 11u);
    EXPECT_EQ(message.window, nullptr);
}

}  // namespace
