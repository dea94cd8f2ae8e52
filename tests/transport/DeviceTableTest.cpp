// Discovery and the shared device table: numbering, presence across unplug and
// replug, the table seen from a second process, and paths that must not get in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/SharedBlock.h"
#include "sdk/DriverChannelFactory.h"
#include "support/SimTestSupport.h"
#include "transport/CDeviceTable.h"
#include "transport/CVeltCy3Cam.h"
#include "transport/ChildProcess.h"

namespace veltcam {
namespace {

constexpr uint16_t kThisModel = 0x31C4;

// Arguments this program was started with (the child side reads its orders there).
std::string ArgumentValue(const std::string& name) {
    for (const std::string& a : ::testing::internal::GetArgvs()) {
        if (a.rfind(name + "=", 0) == 0) return a.substr(name.size() + 1);
    }
    return {};
}

TEST(Discovery, CamerasAreNumberedPerModelAndKeepTheirNumbers) {
    auto sim = test::MakeSim("cameras=2;others=31c5");
    CVeltCy3Cam controller(nullptr, sim);
    ASSERT_EQ(controller.EnumerateDevices(), 3);
    DeviceTableSnapshot first = controller.Table();
    ASSERT_EQ(first.count, 3);
    EXPECT_EQ(first.records[0].productId, kThisModel);
    EXPECT_EQ(first.records[0].instance, 0);
    EXPECT_EQ(first.records[1].productId, kThisModel);
    EXPECT_EQ(first.records[1].instance, 1);
    EXPECT_EQ(first.records[2].productId, 0x31C5);
    EXPECT_EQ(first.records[2].instance, 0) << "numbering counts each model on its own";
    EXPECT_EQ(first.records[0].vendorId, sim->Options().vendorId);
    EXPECT_STREQ(first.records[1].path, sim->CameraPath(1).c_str());

    ASSERT_EQ(controller.EnumerateDevices(), 3);
    DeviceTableSnapshot again = controller.Table();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(again.records[i].instance, first.records[i].instance);
        EXPECT_STREQ(again.records[i].path, first.records[i].path);
    }
}

TEST(Discovery, UnpluggedCameraKeepsItsRecordAndComesBackUnderIt) {
    auto sim = test::MakeSim("cameras=2");
    CVeltCy3Cam controller(nullptr, sim);
    ASSERT_EQ(controller.EnumerateDevices(), 2);
    sim->Unplug(1);
    EXPECT_TRUE(controller.IsDevicePresent(0));
    EXPECT_FALSE(controller.IsDevicePresent(1));
    EXPECT_FALSE(controller.SelectDevice(1));
    EXPECT_EQ(controller.EnumerateDevices(), 2) << "records are never dropped";
    sim->Replug(1);
    EXPECT_EQ(controller.EnumerateDevices(), 2);
    EXPECT_TRUE(controller.IsDevicePresent(1));
    DeviceRecord record;
    ASSERT_TRUE(controller.RecordAt(1, &record));
    EXPECT_EQ(record.instance, 1);
    EXPECT_TRUE(controller.SelectDevice(1));
    EXPECT_EQ(controller.SelectedIndex(), 1);
}

TEST(Discovery, MalformedAndOverlongPathsAreSkipped) {
    auto sim = test::MakeSim("cameras=1");
    const std::string tail = "#SIMX#{328184c5-93e6-49b7-94b8-2ada13aabb39}";
    sim->AddInterface("\\\\?\\usb#vid_2a5d", true);                  // too short
    sim->AddInterface("\\\\?\\usb#vid_2a5g&pid_31c4" + tail, true);  // not hex
    sim->AddInterface("\\\\?\\usb#pid_2a5d&vid_31c4" + tail, true);  // fields swapped
    sim->AddInterface("\\\\?\\usb#vid_2a5d&pid_31c4#" + std::string(250, 'x'), true);  // > 259
    sim->AddInterface("\\\\?\\usb#vid_2a5d&pid_31c4#SIMY" + tail, false);  // does not open
    sim->AddInterface("\\\\?\\USB#VID_2A5D&PID_31C4#SIMZ" + tail, true);   // fine, upper case
    CVeltCy3Cam controller(nullptr, sim);
    ASSERT_EQ(controller.EnumerateDevices(), 2);
    DeviceRecord record;
    ASSERT_TRUE(controller.RecordAt(1, &record));
    EXPECT_EQ(record.productId, kThisModel);
    EXPECT_EQ(record.instance, 1);
    // Indexes beyond the records or the table open nothing.
    EXPECT_FALSE(controller.IsDevicePresent(2));
    EXPECT_FALSE(controller.IsDevicePresent(32));
    EXPECT_FALSE(controller.IsDevicePresent(-1));
    EXPECT_EQ(controller.OpenDevicePath(32, false), nullptr);
    EXPECT_FALSE(controller.RecordAt(2, &record));
}

TEST(Discovery, PathParsing) {
    uint16_t vid = 0, pid = 0;
    EXPECT_TRUE(ParseDevicePath("\\\\?\\usb#vid_04b4&pid_31c4#x", &vid, &pid));
    EXPECT_EQ(vid, 0x04b4);
    EXPECT_EQ(pid, 0x31c4);
    EXPECT_FALSE(ParseDevicePath("\\\\?\\usb#vid_04b4&pid_31c", &vid, &pid));
    EXPECT_FALSE(ParseDevicePath("\\\\?\\usb#vid_04b4_pid_31c4#x", &vid, &pid));
    EXPECT_FALSE(ParseDevicePath(std::string(300, 'a'), &vid, &pid));
}

TEST(SharedTable, UsersShareOneTableAndTheLastOneOutEmptiesIt) {
    auto sim = test::MakeSim("cameras=2");
    {
        CVeltCy3Cam first(nullptr, sim);
        ASSERT_EQ(first.EnumerateDevices(), 2);
        CVeltCy3Cam second(nullptr, sim);
        EXPECT_EQ(second.Table().users, 2);
        EXPECT_EQ(second.RecordCount(), 2) << "attaching copies what is there";
        EXPECT_TRUE(second.SelectDevice(1));
    }
    CVeltCy3Cam later(nullptr, sim);
    EXPECT_EQ(later.Table().users, 1);
    EXPECT_EQ(later.RecordCount(), 0) << "a table without users starts again empty";
}

TEST(SharedTable, DiscoveryInOneUserAppendsToWhatAnotherAdded) {
    // Two users that enumerate different camera sets never erase each other's records.
    auto simA = test::MakeSim("cameras=1");
    std::string table = simA->Options().table;
    std::string error;
    auto simB = sim::CSimDriver::Create("table=" + table + ";cameras=1;vid=1111", &error);
    ASSERT_TRUE(simB) << error;
    CVeltCy3Cam a(nullptr, simA);
    CVeltCy3Cam b(nullptr, simB);
    ASSERT_EQ(a.EnumerateDevices(), 1);
    ASSERT_EQ(b.EnumerateDevices(), 2);
    EXPECT_EQ(a.RecordCount(), 2);
    DeviceRecord record;
    ASSERT_TRUE(a.RecordAt(1, &record));
    EXPECT_EQ(record.vendorId, 0x1111);
}

TEST(SharedTable, ASecondProcessSeesTheSameTableWithoutEnumerating) {
    auto sim = test::MakeSim("cameras=2;others=31c5");
    CVeltCy3Cam controller(nullptr, sim);
    ASSERT_EQ(controller.EnumerateDevices(), 3);
    const std::string table = sim->Options().table;
    int code = test::RunSelf({"--gtest_filter=SharedTableChild.*", "--vc-table=" + table,
                              "--vc-expect=" + sim->CameraPath(1)});
    EXPECT_EQ(code, 0) << "the child process did not see the table";
    EXPECT_EQ(controller.Table().users, 1) << "the child counted itself out again";
}

// Runs only as the child of the test above.
TEST(SharedTableChild, SeesTheParentsRecords) {
    const std::string table = ArgumentValue("--vc-table");
    if (table.empty()) GTEST_SKIP() << "runs as a child process only";
    std::string error;
    // A simulator with no cameras of its own: whatever the table holds came from the parent.
    auto channel = MakeDriverChannel("cameras=0;table=" + table, &error);
    CVeltCy3Cam controller(nullptr, channel);
    DeviceTableSnapshot snapshot = controller.Table();
    ASSERT_EQ(snapshot.count, 3);
    EXPECT_EQ(snapshot.users, 2);
    EXPECT_EQ(snapshot.records[1].instance, 1);
    EXPECT_EQ(snapshot.records[2].productId, 0x31C5);
    EXPECT_EQ(std::string(snapshot.records[1].path), ArgumentValue("--vc-expect"));
}

TEST(SharedTable, BlockLayout) {
    auto sim = test::MakeSim("cameras=1");
    CVeltCy3Cam controller(nullptr, sim);
    ASSERT_EQ(controller.EnumerateDevices(), 1);
    bool created = true;
    auto block = platform::CSharedBlock::OpenOrCreate(sim->Options().table,
                                                      CDeviceTable::kBlockBytes, &created);
    ASSERT_TRUE(block);
    EXPECT_FALSE(created);
    const uint8_t* bytes = block->Data();
    int32_t users, count;
    std::memcpy(&users, bytes + 0, 4);
    std::memcpy(&count, bytes + 8580, 4);
    EXPECT_EQ(users, 1);
    EXPECT_EQ(count, 1);
    DeviceRecord record;
    std::memcpy(&record, bytes + 4, sizeof(record));
    EXPECT_EQ(record.productId, kThisModel);
    EXPECT_EQ(record.instance, 0);
    EXPECT_STREQ(record.path, sim->CameraPath(0).c_str());
    std::memcpy(&record, bytes + 4 + 268, sizeof(record));
    EXPECT_EQ(record.instance, -1) << "unused records are empty";
}

}  // namespace
}  // namespace veltcam
