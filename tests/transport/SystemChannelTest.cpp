// The channel to the installed driver, as far as it goes without a camera: discovery
// finds nothing, opening fails, and the controller fails cleanly on top of it. Also
// the named lock and block the device table relies on.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/ModelConstants.h"
#include "platform/DriverChannel.h"
#include "platform/SharedBlock.h"
#include "sdk/DriverChannelFactory.h"
#include "support/SimTestSupport.h"
#include "transport/CVeltCy3Cam.h"

namespace veltcam {
namespace {

TEST(SystemChannel, WithoutACameraNothingIsFoundOrOpened) {
    std::shared_ptr<platform::CDriverChannel> channel = platform::CreateSystemDriverChannel();
    EXPECT_TRUE(channel->ListInterfaces(kCameraInterfaceGuid, 32).empty());
    EXPECT_EQ(
        channel->Open("\\\\?\\usb#vid_2a5d&pid_31c4#none#{328184c5-93e6-49b7-94b8-2ada13aabb39}",
                      false),
        nullptr);
    auto operation = channel->NewOperation();
    ASSERT_TRUE(operation);
    EXPECT_FALSE(operation->Wait(1)) << "an operation nobody issued never completes";

    CVeltCy3Cam controller(nullptr, channel);
    EXPECT_EQ(controller.EnumerateDevices(), 0);
    EXPECT_FALSE(controller.SelectDevice(0));
    EXPECT_FALSE(controller.EnsureStreamHandle());
    uint8_t value = 0;
    EXPECT_FALSE(controller.ReadFpgaRegister(2, &value));
    FrameDescriptor descriptor;
    EXPECT_FALSE(controller.ReadFrameHeader(&descriptor));
}

TEST(SystemChannel, FactoryChoosesTheSimulatorOnlyForAcceptedOptions) {
    std::string error;
    auto simulated = MakeDriverChannel("cameras=2;table=" + test::UniqueTableName(), &error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(simulated->ListInterfaces(kCameraInterfaceGuid, 32).size(), 2u);
    auto refused = MakeDriverChannel("cameras=2;bogus=1", &error);
    EXPECT_NE(error.find("bogus"), std::string::npos);
    EXPECT_TRUE(refused->ListInterfaces(kCameraInterfaceGuid, 32).empty()) << "the driver is used";
    error.clear();
    auto real = MakeDriverChannel("", &error);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(real->SharedTableName(), "D3A7-MemMap");
}

TEST(SharedBlock, CreatedZeroedThenOpenedByName) {
    const std::string name = test::UniqueTableName();
    bool created = false;
    auto first = platform::CSharedBlock::OpenOrCreate(name, 8584, &created);
    ASSERT_TRUE(first);
    EXPECT_TRUE(created);
    EXPECT_EQ(first->Data()[8583], 0);
    first->Data()[100] = 42;
    auto second = platform::CSharedBlock::OpenOrCreate(name, 8584, &created);
    ASSERT_TRUE(second);
    EXPECT_FALSE(created);
    EXPECT_EQ(second->Data()[100], 42);
    first->RemoveName();
}

TEST(NamedLock, SeparatesHoldersInOneProcess) {
    const std::string name = test::UniqueTableName();
    std::atomic<int> inside{0};
    std::atomic<int> worst{0};
    auto work = [&] {
        platform::CNamedLock lock(name);
        ASSERT_TRUE(lock.Valid());
        for (int i = 0; i < 200; ++i) {
            std::lock_guard<platform::CNamedLock> hold(lock);
            int now = ++inside;
            worst = std::max(worst.load(), now);
            std::this_thread::yield();
            --inside;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(worst.load(), 1);
}

}  // namespace
}  // namespace veltcam
