// The simulated driver seen through the raw driver channel, below the transport:
// pending requests, aborts, pipe resets, unplugging, and the EEPROM's write cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "sim/CSimDriver.h"
#include "support/SimTestSupport.h"
#include "transport/RequestHeader.h"

namespace veltcam::sim {
namespace {

using platform::DeviceHandle;

class SimDriverTest : public ::testing::Test {
  protected:
    void Open(const std::string& options = "") {
        sim_ = test::MakeSim(options);
        handle_ = sim_->Open(sim_->CameraPath(0).c_str(), true);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        if (sim_ && handle_) sim_->Close(handle_);
    }

    // Endpoint-0 request on a fresh synchronous handle.
    // `status` receives status word 1 of the reply.
    bool Vendor(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                std::vector<uint8_t> data = {}, uint8_t* reply = nullptr,
                uint32_t* status = nullptr) {
        DeviceHandle own = sim_->Open(sim_->CameraPath(0).c_str(), false);
        uint8_t record[kControlRecordBytes] = {};
        RequestFields f;
        f.requestType = type;
        f.request = request;
        f.value = value;
        f.index = index;
        f.length = kControlRecordBytes;
        f.timeoutSeconds = 3;
        f.dataOffset = kRequestHeaderBytes;
        f.dataLength = kControlDataBytes;
        WriteRequestHeader(record, f);
        if (!data.empty()) std::memcpy(record + kRequestHeaderBytes, data.data(), data.size());
        uint32_t bytes = 0, error = 0;
        bool ok = sim_->Control(own, kIoctlControlRequest, record, sizeof(record), record,
                                sizeof(record), &bytes, nullptr, &error);
        sim_->Close(own);
        if (reply) std::memcpy(reply, record + kRequestHeaderBytes, kControlDataBytes);
        if (status) *status = GetLe32(record + header::kStatus1);
        return ok;
    }

    struct Read {
        std::unique_ptr<platform::CIoOperation> operation = nullptr;
        uint8_t header[kRequestHeaderBytes] = {};
        std::vector<uint8_t> buffer;
        bool completedAtOnce = false;
        uint32_t error = 0;
    };
    std::unique_ptr<Read> StartRead(uint32_t length, uint8_t endpoint = kEndpointIn) {
        auto read = std::make_unique<Read>();
        read->operation = sim_->NewOperation();
        read->buffer.assign(length, 0);
        RequestFields f;
        f.endpoint = endpoint;
        WriteRequestHeader(read->header, f);
        uint32_t bytes = 0;
        read->completedAtOnce =
            sim_->Control(handle_, kIoctlDirectTransfer, read->header, kRequestHeaderBytes,
                          read->buffer.data(), length, &bytes, read->operation.get(), &read->error);
        return read;
    }
    bool Simple(uint32_t code, uint8_t endpoint) {
        uint32_t bytes = 0, error = 0;
        auto operation = sim_->NewOperation();
        return sim_->Control(handle_, code, &endpoint, 1, nullptr, 0, &bytes, operation.get(),
                             &error);
    }

    std::shared_ptr<CSimDriver> sim_;
    DeviceHandle handle_ = nullptr;
};

TEST_F(SimDriverTest, ReadsStayPendingAndCompleteOnTheDriverThread) {
    Open("fps=max");
    auto read = StartRead(64);
    ASSERT_FALSE(read->completedAtOnce);
    EXPECT_EQ(read->error, platform::kErrorIoPending);
    // Nothing was asked for: the read waits.
    EXPECT_FALSE(read->operation->Wait(30));
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    ASSERT_TRUE(read->operation->Wait(2000));
    uint32_t bytes = 0;
    ASSERT_TRUE(read->operation->Result(&bytes));
    EXPECT_EQ(bytes, 64u);
    EXPECT_EQ(std::memcmp(read->buffer.data(), "VCFH", 4), 0);
    EXPECT_EQ(GetLe32(read->buffer.data() + 16), 2048u * 1536u) << "payload length";
    EXPECT_EQ(GetLe32(read->buffer.data() + 32), 1u) << "frame counter";
}

TEST_F(SimDriverTest, InlineCompletionServesReadyDataInsideTheCall) {
    Open("fps=max;complete=inline");
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto read = StartRead(64);
    EXPECT_TRUE(read->completedAtOnce);
    EXPECT_EQ(std::memcmp(read->buffer.data(), "VCFH", 4), 0);
    EXPECT_TRUE(read->operation->Wait(0)) << "the event is set as for any completion";
    ASSERT_TRUE(Simple(kIoctlResetPipe, kEndpointIn));  // drop the payload
    auto waiting = StartRead(64);
    EXPECT_FALSE(waiting->completedAtOnce) << "no frame asked for: it pends";
    EXPECT_EQ(waiting->error, platform::kErrorIoPending);
}

TEST_F(SimDriverTest, AbortCompletesAPendingReadWithFailure) {
    Open("fps=max;abort-delay=20");
    auto read = StartRead(64);
    ASSERT_TRUE(Simple(kIoctlAbortPipe, kEndpointIn));
    EXPECT_FALSE(read->operation->Wait(5)) << "an aborted read comes back after the driver's delay";
    ASSERT_TRUE(read->operation->Wait(2000));
    uint32_t bytes = 99;
    EXPECT_FALSE(read->operation->Result(&bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST_F(SimDriverTest, ResetPipeDropsTheRestOfAFrame) {
    Open("fps=max");
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto header = StartRead(64);
    ASSERT_TRUE(header->operation->Wait(2000));
    auto part = StartRead(1000);
    ASSERT_TRUE(part->operation->Wait(2000));
    ASSERT_TRUE(Simple(kIoctlResetPipe, kEndpointIn));
    // What follows is the next frame's header, not the old payload.
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto next = StartRead(64);
    ASSERT_TRUE(next->operation->Wait(2000));
    EXPECT_EQ(std::memcmp(next->buffer.data(), "VCFH", 4), 0);
    EXPECT_EQ(GetLe32(next->buffer.data() + 32), 2u);
}

TEST_F(SimDriverTest, UnplugFailsPendingReadsAndKillsHandlesUntilReplug) {
    Open("fps=max");
    auto read = StartRead(64);
    sim_->Unplug(0);
    ASSERT_TRUE(read->operation->Wait(2000));
    EXPECT_FALSE(read->operation->Result(nullptr));
    EXPECT_FALSE(Simple(kIoctlResetPipe, kEndpointIn));
    EXPECT_EQ(sim_->Open(sim_->CameraPath(0).c_str(), false), nullptr);
    sim_->Replug(0);
    EXPECT_FALSE(Simple(kIoctlResetPipe, kEndpointIn))
        << "a handle from before the unplug stays dead";
    DeviceHandle fresh = sim_->Open(sim_->CameraPath(0).c_str(), false);
    EXPECT_NE(fresh, nullptr);
    sim_->Close(fresh);
}

TEST_F(SimDriverTest, ScriptedUnplugAtAFrameAndTimedReplug) {
    Open("fps=max;faults=unplug:100@2");
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto first = StartRead(64);
    ASSERT_TRUE(first->operation->Wait(2000));
    EXPECT_TRUE(first->operation->Result(nullptr));
    sim_->Close(handle_);
    handle_ = sim_->Open(sim_->CameraPath(0).c_str(), true);
    ASSERT_TRUE(Simple(kIoctlResetPipe, kEndpointIn));  // drop the unread payload
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto second = StartRead(64);
    ASSERT_TRUE(second->operation->Wait(2000));
    EXPECT_FALSE(second->operation->Result(nullptr))
        << "the camera left instead of sending frame 2";
    EXPECT_FALSE(sim_->IsPlugged(0));
    for (int i = 0; i < 100 && !sim_->IsPlugged(0); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(sim_->IsPlugged(0));
}

TEST_F(SimDriverTest, ClosingAHandleCancelsItsRequests) {
    Open();
    auto read = StartRead(64);
    sim_->Close(handle_);
    handle_ = nullptr;
    ASSERT_TRUE(read->operation->Wait(2000));
    EXPECT_FALSE(read->operation->Result(nullptr));
}

TEST_F(SimDriverTest, EepromIgnoresTheBusDuringItsWriteCycle) {
    Open("eeprom-cycle=40");
    uint32_t status = 0;
    ASSERT_TRUE(Vendor(kVendorToDevice, 0x30, 3, 0xA2, {0x00, 0x20, 0x5C}, nullptr, &status));
    EXPECT_EQ(status, 0u);
    // The request goes through; its status word tells that the EEPROM did not answer.
    EXPECT_TRUE(Vendor(kVendorToDevice, 0x30, 2, 0xA2, {0x00, 0x20}, nullptr, &status));
    EXPECT_NE(status, 0u) << "no acknowledge while writing";
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ASSERT_TRUE(Vendor(kVendorToDevice, 0x30, 2, 0xA2, {0x00, 0x20}, nullptr, &status));
    EXPECT_EQ(status, 0u);
    uint8_t reply[64] = {};
    ASSERT_TRUE(Vendor(kVendorFromDevice, 0x31, 1, 0xA3, {}, reply));
    EXPECT_EQ(reply[0], 0x5C);
}

TEST_F(SimDriverTest, HandleValuesAreReusedAsSoonAsTheyAreClosed) {
    Open();
    sim_->Close(handle_);
    DeviceHandle next = sim_->Open(sim_->CameraPath(0).c_str(), false);
    EXPECT_EQ(next, handle_) << "the lowest free value comes back";
    handle_ = next;
}

TEST_F(SimDriverTest, AReadEndingInsideAPacketOverflowsAndLosesThatPacket) {
    Open("fps=max");
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto header = StartRead(64);
    ASSERT_TRUE(header->operation->Wait(2000));
    auto part = StartRead(1000);  // the payload comes in 1024-byte packets
    ASSERT_TRUE(part->operation->Wait(2000));
    EXPECT_FALSE(part->operation->Result(nullptr));
    auto whole = StartRead(2048);
    ASSERT_TRUE(whole->operation->Wait(2000));
    uint32_t bytes = 0;
    EXPECT_TRUE(whole->operation->Result(&bytes));
    EXPECT_EQ(bytes, 2048u) << "whole packets fit";
}

TEST_F(SimDriverTest, ALateReadOutlivesAbortAndCloseAndWritesIntoItsBufferAfterTheNextRead) {
    Open("fps=max;faults=late@1");
    auto late = StartRead(64);
    ASSERT_TRUE(Simple(kIoctlAbortPipe, kEndpointIn));
    sim_->Close(handle_);
    handle_ = sim_->Open(sim_->CameraPath(0).c_str(), true);
    EXPECT_FALSE(late->operation->Wait(50)) << "neither the abort nor the close brought it back";
    ASSERT_TRUE(Vendor(kVendorToEndpoint, 0xC2, 0, 0));
    auto next = StartRead(64);
    ASSERT_TRUE(next->operation->Wait(2000));
    EXPECT_EQ(std::memcmp(next->buffer.data(), "VCFH", 4), 0);
    ASSERT_TRUE(late->operation->Wait(2000));
    EXPECT_EQ(std::memcmp(late->buffer.data(), "LATE", 4), 0);
    EXPECT_EQ(sim_->LateCompletions(), 1u);
}

TEST_F(SimDriverTest, MalformedControlRecordsAreRefused) {
    Open();
    DeviceHandle own = sim_->Open(sim_->CameraPath(0).c_str(), false);
    uint8_t record[kControlRecordBytes] = {};
    RequestFields f;
    f.requestType = kVendorFromDevice;
    f.request = 0xB0;
    f.length = kControlRecordBytes;
    f.timeoutSeconds = 3;
    f.dataOffset = kRequestHeaderBytes;
    f.dataLength = 32;  // not the 64 the driver expects
    WriteRequestHeader(record, f);
    uint32_t bytes = 0, error = 0;
    EXPECT_FALSE(sim_->Control(own, kIoctlControlRequest, record, sizeof(record), record,
                               sizeof(record), &bytes, nullptr, &error));
    EXPECT_EQ(error, platform::kErrorInvalidParameter);
    sim_->Close(own);
}

}  // namespace
}  // namespace veltcam::sim
