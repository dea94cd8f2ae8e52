// Endpoint-0 requests: every vendor request goes out with exactly its header and
// data, replies are taken only when complete, and the register operations on top
// keep their pairing and their waits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>

#include "support/SimTestSupport.h"
#include "transport/CVeltCy3Cam.h"

namespace veltcam {
namespace {

class ControlRequestTest : public ::testing::Test {
  protected:
    void Open(const std::string& options = "") {
        sim_ = test::MakeSim(options);
        cam_ = test::OpenController(sim_);
    }
    std::vector<sim::SimRecord> Controls() const {
        return test::Requests(*sim_, kIoctlControlRequest);
    }
    void AddFault(const std::string& text) {
        sim::FaultSpec fault;
        std::string error;
        ASSERT_TRUE(sim::ParseFault(text, &fault, &error)) << error;
        sim_->AddFault(fault);
    }

    std::shared_ptr<sim::CSimDriver> sim_;
    std::unique_ptr<CVeltCy3Cam> cam_;
};

TEST_F(ControlRequestTest, EachVendorRequestSendsItsTabledHeaderAndData) {
    Open();
    struct Case {
        const char* name;
        std::function<bool(CVeltCy3Cam&)> call;
        uint8_t type, request;
        uint16_t value, index;
        std::vector<uint8_t> data;  // leading data bytes; the rest of the 64 are zero
    };
    uint8_t block[64];
    uint8_t byte = 0;
    uint16_t word = 0;
    const uint8_t i2cBytes[3] = {0x11, 0x22, 0x33};
    uint8_t i2cIn[2];
    const Case cases[] = {
        {"ReadInfoBlock",
         [&](CVeltCy3Cam& c) { return c.ReadInfoBlock(block); },
         0xC0,
         0xB0,
         0,
         0,
         {}},
        {"ReadInfoBlock2",
         [&](CVeltCy3Cam& c) { return c.ReadInfoBlock2(block); },
         0xC0,
         0xB1,
         0,
         0,
         {}},
        {"StopStream", [&](CVeltCy3Cam& c) { return c.StopStream(); }, 0x40, 0xC0, 0, 0, {}},
        {"ReadReadyFlag",
         [&](CVeltCy3Cam& c) { return c.ReadReadyFlag(&byte); },
         0xC0,
         0xC3,
         0,
         0,
         {}},
        {"VendorCommandCC",
         [&](CVeltCy3Cam& c) { return c.VendorCommandCC(); },
         0x42,
         0xCC,
         0,
         0,
         {}},
        {"WriteModeByte",
         [&](CVeltCy3Cam& c) { return c.WriteModeByte(0x1A5); },
         0x40,
         0x3C,
         0,
         0,
         {0xA5, 0, 0, 0}},
        {"ReadModeByte",
         [&](CVeltCy3Cam& c) { return c.ReadModeByte(&byte); },
         0xC0,
         0x3D,
         0,
         0,
         {}},
        {"I2cWrite",
         [&](CVeltCy3Cam& c) { return c.I2cWrite(0x5A, i2cBytes, 3, 3000); },
         0x40,
         0x30,
         3,
         0x5A,
         {0x11, 0x22, 0x33}},
        {"I2cRead",
         [&](CVeltCy3Cam& c) { return c.I2cRead(0x5B, i2cIn, 2, 3000); },
         0xC0,
         0x31,
         2,
         0x5B,
         {}},
        {"BridgeWrite",
         [&](CVeltCy3Cam& c) { return c.BridgeWrite(0x8123, 0x11223344); },
         0x40,
         0xD0,
         1,
         0x0123,
         {0x44, 0x33, 0x22, 0x11}},
        {"BridgeRead",
         [&](CVeltCy3Cam& c) { return c.BridgeRead(0x8123, &word); },
         0xC0,
         0xD1,
         0,
         0x8123,
         {}},
        {"BridgeWritePair",
         [&](CVeltCy3Cam& c) { return c.BridgeWritePair(0x1234, 0x5678); },
         0x40,
         0x3E,
         0,
         0,
         {0x12, 0x34, 0x56, 0x78}},
        {"BridgeReadWord",
         [&](CVeltCy3Cam& c) { return c.BridgeReadWord(0x1234, &word); },
         0xC0,
         0x3F,
         0x1234,
         0,
         {}},
    };
    for (const Case& c : cases) {
        sim_->Recorder().Clear();
        ASSERT_TRUE(c.call(*cam_)) << c.name;
        auto sent = Controls();
        ASSERT_EQ(sent.size(), 1u) << c.name;
        const RequestFields& f = sent[0].fields;
        EXPECT_EQ(f.requestType, c.type) << c.name;
        EXPECT_EQ(f.request, c.request) << c.name;
        EXPECT_EQ(f.value, c.value) << c.name;
        EXPECT_EQ(f.index, c.index) << c.name;
        EXPECT_EQ(f.length, 102) << c.name;
        EXPECT_EQ(f.timeoutSeconds, 3u) << c.name;
        EXPECT_EQ(f.endpoint, 0) << c.name;
        EXPECT_EQ(f.dataOffset, 38u) << c.name;
        EXPECT_EQ(f.dataLength, 64u) << c.name;
        std::vector<uint8_t> expected(64, 0);
        std::copy(c.data.begin(), c.data.end(), expected.begin());
        EXPECT_EQ(sent[0].data, expected) << c.name;
    }
    // What came back: the bridge and the mode byte remember what was written.
    EXPECT_TRUE(cam_->BridgeRead(0x8123, &word));
    EXPECT_EQ(word, 0x3344);
    EXPECT_TRUE(cam_->BridgeReadWord(0x1234, &word));
    EXPECT_EQ(word, 0x5678);
    EXPECT_TRUE(cam_->ReadModeByte(&byte));
    EXPECT_EQ(byte, 0xA5);
}

TEST_F(ControlRequestTest, InformationBlockCarriesFirmwareAndFlag) {
    Open("firmware=0x1234;gpio25=1");
    uint8_t block[64] = {};
    ASSERT_TRUE(cam_->ReadInfoBlock(block));
    EXPECT_EQ(block[24] | (block[25] << 8), 0x1234);
    EXPECT_EQ(block[52], 1);
}

TEST_F(ControlRequestTest, RequestFrameGoesOnTheStreamHandle) {
    Open();
    EXPECT_FALSE(cam_->RequestFrame(nullptr)) << "no stream handle, no handle given";
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    ASSERT_TRUE(cam_->RequestFrame(nullptr));
    auto sent = test::VendorRequests(*sim_, 0xC2);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].fields.requestType, 0x42);
    uint32_t pending = 0;
    sim_->WithCamera(0, [&](sim::CSimCamera& c) { pending = c.PendingFrameRequests(); });
    EXPECT_EQ(pending, 1u);
}

TEST_F(ControlRequestTest, FpgaRegistersGoThroughTheRegisterFileAndReadTheSecondByte) {
    Open();
    ASSERT_TRUE(cam_->WriteFpgaRegister(7, 0x5A));
    uint8_t value = 0;
    ASSERT_TRUE(cam_->ReadFpgaRegister(7, &value));
    EXPECT_EQ(value, 0x5A);
    auto writes = test::I2cWrites(*sim_, 0x40);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], (std::vector<uint8_t>{7, 0x00, 0x5A}));
    EXPECT_EQ(writes[1], (std::vector<uint8_t>{7}));
    auto reads = test::VendorRequests(*sim_, 0x31);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].fields.index, 0x41);
    EXPECT_EQ(reads[0].fields.value, 2);

    uint16_t version = 0;
    ASSERT_TRUE(cam_->ReadFpgaWord(&version));
    EXPECT_EQ(version, sim_->Options().fpgaVersion);
}

TEST_F(ControlRequestTest, EepromWritesAndReadsWaitForTheDevice) {
    Open();
    using Clock = std::chrono::steady_clock;
    auto start = Clock::now();
    ASSERT_TRUE(cam_->WriteEeprom(0x0123, 0xAB));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(14)) << "write cycle time";
    EXPECT_EQ(test::I2cWrites(*sim_, 0xA2).back(), (std::vector<uint8_t>{0x01, 0x23, 0xAB}));

    sim_->Recorder().Clear();
    uint8_t value = 0;
    ASSERT_TRUE(cam_->ReadEeprom(0x0123, &value));
    EXPECT_EQ(value, 0xAB);
    auto controls = Controls();
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].fields.request, 0x30);
    EXPECT_EQ(controls[1].fields.request, 0x31);
    EXPECT_EQ(controls[1].fields.index, 0xA3);
    EXPECT_GE(controls[1].timeUs - controls[0].timeUs, 10000) << "address set, then 10 ms";

    // The serial number the camera was made with.
    std::string serial;
    for (uint16_t a = 0x1040; a < 0x1060; ++a) {
        ASSERT_TRUE(cam_->ReadEeprom(a, &value));
        if (value == 0 || value == 0xFF) break;
        serial += static_cast<char>(value);
    }
    EXPECT_EQ(serial, "VCSIM0000");
}

TEST_F(ControlRequestTest, ShortRepliesAreNotTakenAsData) {
    Open();
    AddFault("short-reply:0xB0@1");
    AddFault("short-reply:0xD1@1");
    AddFault("short-reply:0x31@1-2");
    uint8_t block[64];
    std::memset(block, 0xEE, sizeof(block));
    EXPECT_TRUE(cam_->ReadInfoBlock(block)) << "the request itself worked";
    EXPECT_EQ(block[0], 0xEE) << "but a reply of another size leaves the block alone";
    EXPECT_EQ(block[24], 0xEE);

    ASSERT_TRUE(cam_->BridgeWrite(0x10, 0xBEEF));
    uint16_t word = 0x1234;
    EXPECT_FALSE(cam_->BridgeRead(0x10, &word));
    EXPECT_EQ(word, 0);

    ASSERT_TRUE(cam_->WriteFpgaRegister(7, 0x5A));
    uint8_t value = 0x77;
    EXPECT_FALSE(cam_->ReadFpgaRegister(7, &value)) << "a short I2C reply is a failed read";
    EXPECT_EQ(value, 0) << "outputs are zeroed before reading";
    uint8_t bytes[2] = {9, 9};
    EXPECT_FALSE(cam_->I2cRead(0x41, bytes, 2, 3000));
    EXPECT_EQ(bytes[0] | bytes[1], 0);
    EXPECT_TRUE(cam_->ReadFpgaRegister(7, &value));
    EXPECT_EQ(value, 0x5A);
}

TEST_F(ControlRequestTest, OversizedI2cTransfersNeverReachTheDevice) {
    Open();
    uint8_t bytes[65] = {};
    EXPECT_FALSE(cam_->I2cWrite(0x40, bytes, 65, 3000));
    EXPECT_FALSE(cam_->I2cRead(0x41, bytes, 65, 3000));
    EXPECT_TRUE(Controls().empty());
    EXPECT_TRUE(cam_->I2cWrite(0x5A, bytes, 64, 3000));
}

TEST_F(ControlRequestTest, RefusedTransfersFailTheRegisterOperation) {
    Open();
    AddFault("i2c-refuse:0x40.8");
    uint8_t value = 0x55;
    EXPECT_FALSE(cam_->ReadFpgaRegister(8, &value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(cam_->ReadFpgaRegister(7, &value));
    EXPECT_FALSE(cam_->WriteFpgaRegister(8, 1));
}

TEST_F(ControlRequestTest, StatusWordsOfTheReplyFailReadsAndWrites) {
    // The driver completes each request; only the reply's status word tells that the
    // device did not acknowledge.
    struct Case {
        const char* name;
        const char* options;
        std::function<bool(CVeltCy3Cam&)> call;
    };
    uint8_t value = 0;
    const Case cases[] = {
        {"FPGA write", "faults=i2c-nak:0x40.5",
         [](CVeltCy3Cam& c) { return c.WriteFpgaRegister(5, 1); }},
        {"FPGA read", "faults=i2c-nak:0x40@2",
         [&](CVeltCy3Cam& c) { return c.ReadFpgaRegister(5, &value); }},
        {"EEPROM write", "faults=i2c-nak:0xA2",
         [](CVeltCy3Cam& c) { return c.WriteEeprom(0x0100, 7); }},
        {"EEPROM read", "faults=i2c-nak:0xA2@2",
         [&](CVeltCy3Cam& c) { return c.ReadEeprom(0x0100, &value); }},
        // The EEPROM does not acknowledge while it is still writing the last byte.
        {"EEPROM in its write cycle", "clock=virtual;eeprom-cycle=50",
         [](CVeltCy3Cam& c) { return c.WriteEeprom(0x0100, 7) && c.WriteEeprom(0x0101, 8); }},
    };
    for (const Case& c : cases) {
        Open(c.options);
        EXPECT_FALSE(c.call(*cam_)) << c.name;
    }
}

TEST_F(ControlRequestTest, PortPipeAndSpeedRequestsUseTheirOwnHandles) {
    Open("speed=4");
    uint32_t speed = 0;
    ASSERT_TRUE(cam_->GetBusSpeed(&speed));
    EXPECT_EQ(speed, 4u);
    ASSERT_TRUE(cam_->ResetPipe(0x81));
    ASSERT_TRUE(cam_->ResetPort());
    auto pipes = test::Requests(*sim_, kIoctlResetPipe);
    ASSERT_EQ(pipes.size(), 1u);
    EXPECT_EQ(pipes[0].data, std::vector<uint8_t>{0x81});
    EXPECT_EQ(test::Requests(*sim_, kIoctlResetPort).size(), 1u);
    EXPECT_EQ(sim_->OpenHandles(), 0u) << "every per-request handle was closed";
}

}  // namespace
}  // namespace veltcam
