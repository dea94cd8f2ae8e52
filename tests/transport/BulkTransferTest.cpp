// Bulk transfers: payload pieces, capacity checks, memory commands, time-outs with
// their aborts, status words, short transfers, and the header retry loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/CSimScene.h"
#include "support/SimTestSupport.h"
#include "transport/CVeltCy3Cam.h"

namespace veltcam {
namespace {

using Clock = std::chrono::steady_clock;

class BulkTransferTest : public ::testing::Test {
  protected:
    void Open(const std::string& options) {
        sim_ = test::MakeSim(options);
        cam_ = test::OpenController(sim_);
    }
    void SetFrameGeometry(uint32_t width, uint32_t height, uint8_t bytesPerPixel) {
        ASSERT_TRUE(cam_->WriteFpgaRegister(68, static_cast<uint8_t>(width)));
        ASSERT_TRUE(cam_->WriteFpgaRegister(69, static_cast<uint8_t>(width >> 8)));
        ASSERT_TRUE(cam_->WriteFpgaRegister(64, static_cast<uint8_t>(height)));
        ASSERT_TRUE(cam_->WriteFpgaRegister(65, static_cast<uint8_t>(height >> 8)));
        ASSERT_TRUE(cam_->WriteFpgaRegister(60, bytesPerPixel));
        sim_->Recorder().Clear();
    }
    // Direct transfers on an endpoint, in order: the lengths asked for.
    std::vector<uint32_t> Reads(uint8_t endpoint) const {
        std::vector<uint32_t> lengths;
        for (const auto& r : test::Requests(*sim_, kIoctlDirectTransfer)) {
            if (r.fields.endpoint == endpoint) lengths.push_back(r.length);
        }
        return lengths;
    }
    // Reads on the stream endpoint that were queued before the first abort of the pipe.
    size_t ReadsBeforeFirstAbort() const {
        size_t reads = 0;
        for (const sim::SimRecord& r : sim_->Recorder().Records()) {
            if (r.kind != sim::SimRecord::Kind::Request) continue;
            if (r.code == kIoctlAbortPipe) break;
            if (r.code == kIoctlDirectTransfer && r.fields.endpoint == kEndpointIn) ++reads;
        }
        return reads;
    }
    // Whether `payload` is exactly what the camera sent for the frame `descriptor` heads.
    bool IsSentFrame(const FrameDescriptor& descriptor, const std::vector<uint8_t>& payload) {
        sim::SceneSetup setup;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { setup = c.CurrentSetup(); });
        sim::CSimScene scene(sim_->Options());
        uint32_t length = 0;
        const uint8_t* sent = scene.Frame(setup, descriptor.frameCounter, &length);
        return length == payload.size() && std::equal(payload.begin(), payload.end(), sent);
    }
    // Reads the next frame whole into `payload`.
    bool ReadFrame(std::vector<uint8_t>* payload, FrameDescriptor* descriptor,
                   uint32_t timeoutMs = 3000) {
        if (!cam_->ReadFrameHeader(descriptor)) return false;
        payload->assign(GetLe32(descriptor->header + frame_header::kPayloadLength), 0xEE);
        descriptor->destination = payload->data();
        descriptor->capacity = static_cast<uint32_t>(payload->size());
        return cam_->ReadFramePayload(descriptor, timeoutMs);
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

TEST_F(BulkTransferTest, PayloadsArriveIn512KiBPieces) {
    struct Case {
        uint32_t width, height;
        std::vector<uint32_t> pieces;
    };
    const Case cases[] = {
        {1024, 1024, {524288, 524288}},    // 1,048,576: no remainder
        {17, 61681, {524288, 524288, 1}},  // 1,048,577: one byte more
    };
    Open("fps=max");
    for (const Case& c : cases) {
        SetFrameGeometry(c.width, c.height, 1);
        FrameDescriptor descriptor;
        ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
        const uint32_t length = c.width * c.height;
        EXPECT_EQ(GetLe32(descriptor.header + 16), length);
        std::vector<uint8_t> frame(length + 100, 0xEE);
        descriptor.destination = frame.data();
        descriptor.capacity = static_cast<uint32_t>(frame.size());
        ASSERT_TRUE(cam_->ReadFramePayload(&descriptor, 3000));
        std::vector<uint32_t> reads = Reads(kEndpointIn);
        ASSERT_FALSE(reads.empty());
        EXPECT_EQ(reads.front(), 64u) << "the header comes first";
        EXPECT_EQ(std::vector<uint32_t>(reads.begin() + 1, reads.end()), c.pieces);
        // The first byte sent is the far corner of the picture: the bright end of the ramp.
        EXPECT_GT(frame[0], 150);
        EXPECT_EQ(frame[length], 0xEE) << "nothing written past the payload";
    }
    EXPECT_NE(cam_->StreamHandle(), nullptr) << "the stream stays open from frame to frame";
}

TEST_F(BulkTransferTest, PayloadPiecesAreQueuedAheadUpToTheChosenDepth) {
    // The first piece of a full frame (six pieces) never comes: everything the host
    // queued behind it is on the wire when it gives up and aborts the pipe.
    struct Case {
        int depth;
        size_t queued;  // payload reads before the abort
    };
    const Case cases[] = {{1, 1}, {3, 3}, {8, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.depth);
        Open("fps=max;faults=payload-stall@1");
        cam_->SetPayloadPieces(c.depth);
        std::vector<uint8_t> payload;
        FrameDescriptor descriptor;
        EXPECT_FALSE(ReadFrame(&payload, &descriptor, 50));
        EXPECT_EQ(ReadsBeforeFirstAbort(), 1 + c.queued) << "the header, then the pieces";
        EXPECT_EQ(Reads(kEndpointIn).size(), 1 + c.queued) << "nothing queued after the failure";
        EXPECT_EQ(CVeltCy3Cam::PayloadBytesInFlight(), 0u);
        ASSERT_TRUE(ReadFrame(&payload, &descriptor));
        EXPECT_TRUE(IsSentFrame(descriptor, payload)) << "frame " << descriptor.frameCounter;
    }
}

TEST_F(BulkTransferTest, AFailedPieceInTheMiddleOfAQueuedFrameLeavesTheNextFrameWhole) {
    // The second piece of six fails while the third to fifth are queued behind it.
    // Reads on 0x81 count the header first; payload stalls count pieces only.
    const char* faults[] = {"payload-stall@2", "short@3", "status@3", "late@3"};
    for (const char* fault : faults) {
        SCOPED_TRACE(fault);
        Open(std::string("fps=max;faults=") + fault);
        ASSERT_EQ(cam_->PayloadPieces(), CVeltCy3Cam::kDefaultPayloadPieces);
        std::vector<uint8_t> failed, next;
        FrameDescriptor first, second;
        EXPECT_FALSE(ReadFrame(&failed, &first, 100));
        EXPECT_EQ(CVeltCy3Cam::PayloadBytesInFlight(), 0u);
        // A piece the driver kept past the host's wait still owns its part of the frame.
        if (cam_->UnfinishedTransfers() > 0) {
            EXPECT_TRUE(cam_->DriverMayWrite(failed.data(), failed.size()));
        }
        ASSERT_TRUE(ReadFrame(&next, &second));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(second.header), 4), "VCFH");
        EXPECT_GT(second.frameCounter, first.frameCounter);
        EXPECT_TRUE(IsSentFrame(second, next)) << "frame " << second.frameCounter;
        cam_->CloseStreamHandle();
        EXPECT_EQ(cam_->UnfinishedTransfers(), 0u);
    }
}

TEST_F(BulkTransferTest, QueuedPiecesOfSeveralCamerasStayWithinTheProcessShare) {
    // Three cameras with 16-bit frames (twelve pieces) and eight pieces each would queue
    // 12 MiB. Beyond the share only each camera's oldest piece goes out, so that no
    // camera waits for another's, and no frame fails for want of memory.
    Open("fps=max;cameras=3");
    std::vector<std::unique_ptr<CVeltCy3Cam>> cams;
    for (int i = 0; i < 3; ++i) {
        cams.push_back(i == 0 ? std::move(cam_) : test::OpenController(sim_, i));
        ASSERT_TRUE(cams.back()->WriteFpgaRegister(60, 2));
        cams.back()->SetPayloadPieces(8);
    }
    std::atomic<int> whole{0};
    auto stream = [&](CVeltCy3Cam& cam) {
        for (int i = 0; i < 4; ++i) {
            FrameDescriptor descriptor;
            if (!cam.ReadFrameHeader(&descriptor)) continue;
            std::vector<uint8_t> payload(GetLe32(descriptor.header + frame_header::kPayloadLength));
            descriptor.destination = payload.data();
            descriptor.capacity = static_cast<uint32_t>(payload.size());
            if (cam.ReadFramePayload(&descriptor, 3000)) ++whole;
        }
    };
    std::vector<std::thread> threads;
    for (auto& cam : cams) threads.emplace_back([&, c = cam.get()] { stream(*c); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(whole.load(), 12);
    EXPECT_LE(CVeltCy3Cam::PayloadBytesInFlightPeak(),
              CVeltCy3Cam::kPayloadBytesInFlightCap + 3 * CVeltCy3Cam::kPayloadChunkBytes);
    EXPECT_EQ(CVeltCy3Cam::PayloadBytesInFlight(), 0u);
}

TEST_F(BulkTransferTest, PayloadLargerThanTheDestinationReadsNothing) {
    Open("fps=max");
    SetFrameGeometry(1024, 1024, 1);
    FrameDescriptor descriptor;
    ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
    std::vector<uint8_t> frame(1048575);
    descriptor.destination = frame.data();
    descriptor.capacity = static_cast<uint32_t>(frame.size());
    EXPECT_FALSE(cam_->ReadFramePayload(&descriptor, 3000));
    EXPECT_EQ(Reads(kEndpointIn), std::vector<uint32_t>{64});
}

TEST_F(BulkTransferTest, MemoryCommandsMoveWholePagesAndOneMore) {
    Open("");
    struct Case {
        uint32_t length, moved;
    };
    for (Case c : {Case{4096, 8192}, Case{4095, 4096}}) {
        sim_->Recorder().Clear();
        // Exactly the caller's size: the extra page must not land in it.
        std::vector<uint8_t> data(c.length);
        for (uint32_t i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>(i * 13 + 1);
        ASSERT_TRUE(cam_->WriteMemory(0x10000, data.data(), c.length));
        std::vector<uint8_t> back(c.length, 0);
        ASSERT_TRUE(cam_->ReadMemory(0x10000, back.data(), c.length));
        EXPECT_EQ(back, data);
        auto out = test::Requests(*sim_, kIoctlDirectTransfer);
        std::vector<std::pair<std::string, uint32_t>> commands;
        for (const auto& r : out) {
            if (r.fields.endpoint == kEndpointOut && r.length == 32) {
                commands.emplace_back(std::string(r.data.begin(), r.data.begin() + 4),
                                      GetLe32(r.data.data() + 16));
                EXPECT_EQ(GetLe32(r.data.data() + 4), 2u);
                EXPECT_EQ(GetLe32(r.data.data() + 8), 0x10000u);
            }
        }
        EXPECT_EQ(commands, (std::vector<std::pair<std::string, uint32_t>>{{"AU3W", c.moved},
                                                                           {"AU3R", c.moved}}));
        EXPECT_EQ(Reads(kEndpointIn), std::vector<uint32_t>{c.moved});
    }
    EXPECT_EQ(cam_->StreamHandle(), nullptr) << "a memory transfer closes the stream it opened";
}

TEST_F(BulkTransferTest, ReadStreamAsksForWholeBlocks) {
    Open("");
    std::vector<uint8_t> destination(32768);
    FrameDescriptor descriptor;
    descriptor.destination = destination.data();
    descriptor.capacity = static_cast<uint32_t>(destination.size());
    uint32_t length = 16384;
    ASSERT_TRUE(cam_->ReadStream(&descriptor, &length, 3000));
    EXPECT_EQ(length, 32768u);
    auto out = test::Requests(*sim_, kIoctlDirectTransfer);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(std::string(out[0].data.begin(), out[0].data.begin() + 4), "AU3R");
    EXPECT_EQ(GetLe32(out[0].data.data() + 16), 32768u);

    descriptor.capacity = 32767;
    length = 16384;
    sim_->Recorder().Clear();
    EXPECT_FALSE(cam_->ReadStream(&descriptor, &length, 3000)) << "the blocks would not fit";
    EXPECT_TRUE(test::Requests(*sim_, kIoctlDirectTransfer).empty());
}

TEST_F(BulkTransferTest, HeaderTimeOutAbortsTheEndpointAndWaitsForTheReadBeforeRetrying) {
    // The aborted read comes back at once (within the 50 ms the host allows) or after
    // 500 ms (the host aborts again and keeps waiting).
    for (uint32_t delay : {0u, 500u}) {
        Open("fps=max;faults=header-timeout@1;abort-delay=" + std::to_string(delay));
        FrameDescriptor descriptor;
        ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
        // Frame 1 is lost with the timed-out read. On a loaded machine (sanitizers,
        // parallel builds) the retry's own header can time out as well: then each
        // lost frame shows up below as one more re-arm.
        EXPECT_GE(descriptor.frameCounter, 2u) << "frame 1 was lost with the timed-out read";
        auto records = sim_->Recorder().Records();
        uint64_t firstRead = 0;
        int aborts = 0;
        bool completed = false, retried = false;
        for (const auto& r : records) {
            if (r.kind == sim::SimRecord::Kind::Request && r.code == kIoctlDirectTransfer &&
                !firstRead) {
                firstRead = r.requestId;
            } else if (r.kind == sim::SimRecord::Kind::Request && r.code == kIoctlAbortPipe) {
                EXPECT_EQ(r.data, std::vector<uint8_t>{kEndpointIn});
                EXPECT_FALSE(completed) << "aborts come before the read is back";
                ++aborts;
            } else if (r.kind == sim::SimRecord::Kind::Completion && r.requestId == firstRead) {
                EXPECT_FALSE(r.ok);
                completed = true;
            } else if (r.kind == sim::SimRecord::Kind::Request && r.code == kIoctlControlRequest &&
                       r.fields.request == 0xC2 && firstRead) {
                EXPECT_TRUE(completed) << "the next frame request waited for the aborted read";
                retried = true;
            }
        }
        EXPECT_TRUE(retried);
        // A read that comes back at once may still be seen after the settle time
        // when the machine is busy: then the host aborts once more.
        if (delay < CVeltCy3Cam::kAbortSettleMs) {
            EXPECT_GE(aborts, 1) << delay;
        } else {
            EXPECT_GE(aborts, 2) << delay;
        }
        uint32_t rearms = 0;
        sim_->WithCamera(0, [&](sim::CSimCamera& c) { rearms = c.Rearms(); });
        EXPECT_EQ(rearms, descriptor.frameCounter - 1) << "register 108 pulsed once per lost frame";
    }
}

TEST_F(BulkTransferTest, FifteenFailedHeaderReadsSendSixteenFrameRequests) {
    Open("fps=max;clock=virtual;faults=header-timeout");
    FrameDescriptor descriptor;
    auto start = Clock::now();
    EXPECT_FALSE(cam_->ReadFrameHeader(&descriptor));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "instant stalls, not 15 x 400 ms";
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC2).size(), 16u);
    EXPECT_EQ(Reads(kEndpointIn).size(), 15u);
    EXPECT_EQ(test::Requests(*sim_, kIoctlAbortPipe).size(), 15u);
    uint32_t rearms = 0;
    sim_->WithCamera(0, [&](sim::CSimCamera& c) { rearms = c.Rearms(); });
    EXPECT_EQ(rearms, 15u);
    EXPECT_EQ(cam_->StreamHandle(), nullptr) << "the handle it opened is closed again";
}

TEST_F(BulkTransferTest, NonzeroStatusWordsFailAfterAPause) {
    Open("fps=max;clock=virtual;faults=status:0x20@1");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    ASSERT_TRUE(cam_->RequestFrame(nullptr));
    uint8_t header[64];
    uint32_t bytes = 0;
    const uint32_t before = sim_->Clock().TickMs();
    EXPECT_FALSE(
        cam_->BulkTransferTimed(cam_->StreamHandle(), header, 64, kEndpointIn, &bytes, 400));
    EXPECT_GE(sim_->Clock().TickMs() - before, 1u);
    EXPECT_EQ(bytes, 64u) << "the driver did move the bytes";
}

TEST_F(BulkTransferTest, ShortPiecesFailThePayload) {
    Open("fps=max;faults=short@2");
    SetFrameGeometry(1024, 1024, 1);
    FrameDescriptor descriptor;
    ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
    std::vector<uint8_t> frame(1048576);
    descriptor.destination = frame.data();
    descriptor.capacity = static_cast<uint32_t>(frame.size());
    EXPECT_FALSE(cam_->ReadFramePayload(&descriptor, 3000));
}

TEST_F(BulkTransferTest, AShortHeaderIsNoHeader) {
    Open("fps=max;clock=virtual;faults=short@1");
    FrameDescriptor descriptor;
    ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
    EXPECT_EQ(test::VendorRequests(*sim_, 0xC2).size(), 2u) << "a half header made it ask again";
}

TEST_F(BulkTransferTest, TransfersNeedAnOpenCameraAndAFittingLength) {
    Open("fps=max");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    std::vector<uint8_t> buffer(64);
    uint32_t bytes = 7;
    EXPECT_FALSE(cam_->BulkTransfer(nullptr, buffer.data(), 64, kEndpointIn, &bytes));
    EXPECT_FALSE(
        cam_->BulkTransfer(cam_->StreamHandle(), buffer.data(), 0x4000001, kEndpointIn, &bytes));
    EXPECT_EQ(bytes, 0u);
    cam_->Release();
    EXPECT_FALSE(cam_->HasTransferBuffer());
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    EXPECT_FALSE(cam_->BulkTransfer(cam_->StreamHandle(), buffer.data(), 64, kEndpointIn, &bytes));
    EXPECT_TRUE(Reads(kEndpointIn).empty());
}

TEST_F(BulkTransferTest, AbortStreamFromAnotherThreadReleasesAWaitingRead) {
    Open("stalls=real");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cam_->AbortStream();
    });
    uint8_t header[64];
    uint32_t bytes = 0;
    auto start = Clock::now();
    // No frame was asked for: only the abort can end this read early.
    EXPECT_FALSE(
        cam_->BulkTransferTimed(cam_->StreamHandle(), header, 64, kEndpointIn, &bytes, 3000));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
    stopper.join();
}

TEST_F(BulkTransferTest, ARequestRefusedAtOnceIsNotWaitedFor) {
    Open("fps=max");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    sim_->Unplug(0);
    uint8_t header[64];
    uint32_t bytes = 0;
    auto start = Clock::now();
    EXPECT_FALSE(
        cam_->BulkTransferTimed(cam_->StreamHandle(), header, 64, kEndpointIn, &bytes, 3000));
    FrameDescriptor descriptor;
    EXPECT_FALSE(cam_->ReadFrameHeader(&descriptor));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(BulkTransferTest, AReadTheDriverNeverReturnsIsWrittenOffUntilTheHandleCloses) {
    // The driver hands aborted reads back only after 10 s: longer than the host waits.
    Open("stalls=real;abort-delay=10000");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    std::vector<uint8_t> header(64);
    uint32_t bytes = 0;
    EXPECT_FALSE(
        cam_->BulkTransferTimed(cam_->StreamHandle(), header.data(), 64, kEndpointIn, &bytes, 10));
    EXPECT_EQ(cam_->UnfinishedTransfers(), 1u);
    EXPECT_EQ(test::Requests(*sim_, kIoctlAbortPipe).size(), 2u);
    cam_->CloseStreamHandle();  // closing the handle cancels the read
    EXPECT_EQ(cam_->UnfinishedTransfers(), 0u);
}

// Memory the simulated driver wrote into after the host had written its request off,
// and whether the controller still held that memory at that moment.
class LateWrites {
  public:
    ~LateWrites() {
        if (simulator_) simulator_->SetLateWriteObserver(nullptr);
    }
    void Watch(sim::CSimDriver& simulator, const CVeltCy3Cam& controller) {
        simulator_ = &simulator;
        simulator.SetLateWriteObserver([this, &controller](const void* at, size_t bytes) {
            std::lock_guard<std::mutex> lock(mutex_);
            held_.push_back(controller.HoldsForDriver(at, bytes));
        });
    }
    std::vector<bool> Held() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }

  private:
    sim::CSimDriver* simulator_ = nullptr;
    std::mutex mutex_;
    std::vector<bool> held_;
};

TEST_F(BulkTransferTest, AReadWrittenOffAfterItsAbortsWritesOnlyIntoMemoryTheControllerKeeps) {
    // The driver ignores both aborts and hands the read back later, writing into the
    // buffer it was given, just after it has served the next read on 0x81.
    struct Case {
        const char* name;
        std::function<bool(CVeltCy3Cam&)> operation;
    };
    std::vector<uint8_t> memory(4096);
    FrameDescriptor descriptor;
    const Case cases[] = {
        // The retry's header landed in the same buffer the late read then writes into.
        {"frame header", [&](CVeltCy3Cam& cam) { return cam.ReadFrameHeader(&descriptor); }},
        // The memory read fails and frees its scratch area; a frame header read follows.
        {"memory read",
         [&](CVeltCy3Cam& cam) {
             EXPECT_FALSE(cam.ReadMemory(0, memory.data(), 4096));
             return cam.ReadFrameHeader(&descriptor);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open("fps=max;faults=late@1");
        LateWrites late;
        late.Watch(*sim_, *cam_);
        descriptor = FrameDescriptor{};
        ASSERT_TRUE(c.operation(*cam_));
        EXPECT_EQ(sim_->LateCompletions(), 1u);
        EXPECT_EQ(late.Held(), std::vector<bool>{true});
        EXPECT_EQ(std::string(reinterpret_cast<char*>(descriptor.header), 4), "VCFH")
            << "the header read is the camera's, not the late request's";
        cam_->CloseStreamHandle();
        EXPECT_EQ(cam_->UnfinishedTransfers(), 0u) << "back from the driver: released";
    }
}

TEST_F(BulkTransferTest, AFrameRequestWrittenOffKeepsItsRecordUntilTheDriverHandsItBack) {
    // The driver holds the frame request past the host's wait and copies its reply
    // into the request record when the next read on 0x81 has been served.
    Open("fps=max;faults=late-control:0xC2@1");
    LateWrites late;
    late.Watch(*sim_, *cam_);
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    EXPECT_FALSE(cam_->RequestFrame(nullptr));
    EXPECT_EQ(cam_->UnfinishedTransfers(), 1u);
    FrameDescriptor descriptor;
    ASSERT_TRUE(cam_->ReadFrameHeader(&descriptor));
    EXPECT_EQ(sim_->LateCompletions(), 1u);
    EXPECT_EQ(late.Held(), std::vector<bool>{true});
}

TEST_F(BulkTransferTest, EndpointTransferGoesThroughTheTransferBuffer) {
    Open("");
    ASSERT_TRUE(cam_->EnsureStreamHandle());
    // A small request, then one larger than the buffer the open made: it grows.
    const uint32_t lengths[] = {16, 300000};
    for (uint32_t length : lengths) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
        uint32_t count = 0;
        ASSERT_TRUE(cam_->EndpointControlTransfer(cam_->StreamHandle(), data.data(), length, 0x01,
                                                  &count));
        EXPECT_EQ(count, length);
        auto sent = test::Requests(*sim_, kIoctlEndpointRequest);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().fields.endpoint, 0x01);
        EXPECT_EQ(sent.back().fields.dataOffset, 38u);
        EXPECT_EQ(sent.back().fields.dataLength, length);
        // The driver's record keeps the start of the data.
        const std::vector<uint8_t>& recorded = sent.back().data;
        ASSERT_FALSE(recorded.empty());
        for (size_t i = 0; i < recorded.size() && i < length; ++i) {
            ASSERT_EQ(recorded[i], data[i]) << "byte " << i;
        }
    }
}

}  // namespace
}  // namespace veltcam
