// veltcamsrc in real pipelines against the simulated camera, loaded as users load
// it: from GST_PLUGIN_PATH through a private registry. Formats and the scene's
// bars, buffer counts, timestamps and offsets, drops and their QoS messages,
// settings while playing, trigger idle, unplug, errors, and start/stop cycles
// that must leave no thread or descriptor behind.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/PrivateSettingsStore.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every wait in these tests is bounded by this, far above what a loaded machine needs.
constexpr GstClockTime kBusWait = 15 * GST_SECOND;

// A fresh simulator with its own device table, for the next pipeline's camera.
void UseSimulator(const std::string& options) {
    static std::mt19937_64 random{std::random_device{}()};
    const std::string value =
        "table=gsttest-" + std::to_string(random() % 1000000000) + ";" + options;
    setenv("VELTCAM_SIMULATOR", value.c_str(), 1);
}

class CPipeline {
  public:
    explicit CPipeline(const std::string& description) {
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << description << ": " << error->message;
            g_error_free(error);
            if (pipeline_ != nullptr) gst_object_unref(pipeline_);
            pipeline_ = nullptr;
        }
        if (pipeline_ != nullptr) bus_ = gst_element_get_bus(pipeline_);
    }
    ~CPipeline() {
        if (pipeline_ != nullptr) {
            gst_element_set_state(pipeline_, GST_STATE_NULL);
            gst_object_unref(bus_);
            gst_object_unref(pipeline_);
        }
    }
    CPipeline(const CPipeline&) = delete;
    CPipeline& operator=(const CPipeline&) = delete;

    bool Valid() const { return pipeline_ != nullptr; }
    GstElement* Get(const char* name) {
        GstElement* e = gst_bin_get_by_name(GST_BIN(pipeline_), name);
        if (e != nullptr) gst_object_unref(e);  // the pipeline keeps it alive
        return e;
    }
    GstAppSink* Sink() { return GST_APP_SINK(Get("sink")); }
    GstStateChangeReturn Play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING); }
    void Stop() { gst_element_set_state(pipeline_, GST_STATE_NULL); }
    // The next message of the given types, or nullptr after `wait`.
    GstMessage* Next(GstMessageType types, GstClockTime wait = kBusWait) {
        return gst_bus_timed_pop_filtered(bus_, wait, types);
    }
    // Pulls up to n samples (each within the bus wait), recording any bus error.
    std::vector<GstSample*> Pull(int n) {
        std::vector<GstSample*> samples;
        for (int i = 0; i < n; ++i) {
            GstSample* sample = gst_app_sink_try_pull_sample(Sink(), kBusWait);
            if (sample == nullptr) break;
            samples.push_back(sample);
        }
        return samples;
    }
    GstBus* Bus() { return bus_; }
    GstElement* Element() { return pipeline_; }

  private:
    GstElement* pipeline_ = nullptr;
    GstBus* bus_ = nullptr;
};

void Release(std::vector<GstSample*>& samples) {
    for (GstSample* s : samples) gst_sample_unref(s);
    samples.clear();
}

std::string ErrorText(GstMessage* message) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = std::string(error->message) + " (" + (debug ? debug : "") + ")";
    g_error_free(error);
    g_free(debug);
    return text;
}

// No ERROR or WARNING waiting on the bus.
void ExpectQuietBus(CPipeline& p) {
    while (GstMessage* m =
               p.Next(static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_WARNING), 0)) {
        ADD_FAILURE() << "bus: " << GST_MESSAGE_TYPE_NAME(m)
                      << (GST_MESSAGE_TYPE(m) == GST_MESSAGE_ERROR ? ": " + ErrorText(m) : "");
        gst_message_unref(m);
    }
}

GstStructure* Stats(GstElement* src) {
    GstStructure* stats = nullptr;
    g_object_get(src, "stats", &stats, nullptr);
    return stats;
}

guint64 StatsField(GstElement* src, const char* name) {
    GstStructure* stats = Stats(src);
    guint64 value = 0;
    EXPECT_TRUE(stats != nullptr && gst_structure_get_uint64(stats, name, &value)) << name;
    if (stats != nullptr) gst_structure_free(stats);
    return value;
}

class VeltCamSrc : public testing::Test {
  protected:
    // A pipeline on a fresh simulator, set to PLAYING; null (with the failure
    // recorded) when it could not be built or started.
    static std::unique_ptr<CPipeline> Playing(const std::string& simulator,
                                              const std::string& description) {
        UseSimulator(simulator);
        auto p = std::make_unique<CPipeline>(description);
        if (!p->Valid()) return nullptr;
        if (p->Play() == GST_STATE_CHANGE_FAILURE) {
            ADD_FAILURE() << "PLAYING refused: " << description;
            return nullptr;
        }
        return p;
    }

    veltcam::test::CPrivateSettingsStore store_;
};

// ---- Formats and the scene ----------------------------------------------------------

// Mean of one sample channel over a 16 x 16 block of a mapped frame, scaled to 8 bits.
double Block(const GstVideoFrame& frame, int x, int y, int channel) {
    const GstVideoFormatInfo* f = frame.info.finfo;
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const int pixelBytes = GST_VIDEO_FORMAT_INFO_PSTRIDE(f, 0);
    const int depth = GST_VIDEO_FORMAT_INFO_DEPTH(f, 0);
    const int offset = GST_VIDEO_FORMAT_INFO_POFFSET(f, channel);
    const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    double sum = 0;
    for (int r = y - 8; r < y + 8; ++r) {
        for (int c = x - 8; c < x + 8; ++c) {
            const uint8_t* p = data + static_cast<size_t>(r) * stride + c * pixelBytes + offset;
            sum += depth == 16 ? (p[0] | p[1] << 8) / 256.0 : p[0];
        }
    }
    return sum / 256;
}

// Bars left to right: white, yellow, cyan, green, magenta, red, blue, black (R, G, B).
constexpr int kBars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                             {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};

TEST_F(VeltCamSrc, EveryFormatShowsTheBarsUprightWithTheRightSizeAndChannelOrder) {
    // A strip from the bottom of the bars (rows 704..767) into the black lane
    // below them (rows 800..831): bar order checks left and right, bars above
    // the lane checks up and down.
    struct Case {
        const char* format;
        bool flipH;
        int bytesPerPixel;
        bool half = false;  // the whole sensor at half size instead of the strip
    };
    const Case cases[] = {{"GRAY8", false, 1},     {"GRAY16_LE", false, 2}, {"BGR", false, 3},
                          {"BGRx", false, 4},      {"BGRA64_LE", false, 8}, {"BGR", true, 3},
                          {"BGRx", false, 4, true}};
    constexpr int kFrames = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.format << (c.flipH ? " flipped" : "") << (c.half ? " half readout" : ""));
        // Half readout delivers the same part of the sensor at half the size.
        const int scale = c.half ? 2 : 1;
        const int width = 2048 / scale;
        const int height = c.half ? 768 : 128;
        const int barY = c.half ? 192 : 32;
        const int laneY = c.half ? 416 : 112;
        UseSimulator("cameras=1");
        CPipeline p(std::string("veltcamsrc name=src num-buffers=5 offset-y=") +
                    (c.half ? "0" : "704") + " flip-horizontal=" + (c.flipH ? "true" : "false") +
                    " half-readout=" + (c.half ? "true" : "false") +
                    " ! video/x-raw,format=" + c.format + ",width=" + std::to_string(width) +
                    ",height=" + std::to_string(height) + " ! appsink name=sink sync=false");
        ASSERT_TRUE(p.Valid());
        ASSERT_NE(p.Play(), GST_STATE_CHANGE_FAILURE);
        std::vector<GstSample*> samples = p.Pull(kFrames + 1);
        ExpectQuietBus(p);
        ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames)) << "exactly num-buffers";
        EXPECT_TRUE(gst_app_sink_is_eos(p.Sink()));
        GstVideoInfo info;
        ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(samples.back())));
        EXPECT_STREQ(gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)), c.format);
        EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), width);
        EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), height);
        EXPECT_EQ(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), width * c.bytesPerPixel);
        GstBuffer* buffer = gst_sample_get_buffer(samples.back());
        EXPECT_EQ(gst_buffer_get_size(buffer),
                  static_cast<size_t>(width * c.bytesPerPixel * height));
        GstVideoFrame frame;
        ASSERT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
        const bool colour = GST_VIDEO_INFO_IS_RGB(&info);
        const double white =
            Block(frame, c.flipH ? width - 128 / scale : 128 / scale, barY, colour ? 1 : 0);
        EXPECT_GT(white, 100) << "white bar too dark";
        double previousGrey = 1e9;
        for (int bar = 0; bar < 8; ++bar) {
            SCOPED_TRACE(testing::Message() << "bar " << bar);
            const int x = (c.flipH ? 2047 - (bar * 256 + 128) : bar * 256 + 128) / scale;
            if (colour) {
                for (int rgb = 0; rgb < 3; ++rgb) {  // GStreamer's component order: R, G, B
                    const double v = Block(frame, x, barY, rgb);
                    if (kBars[bar][rgb]) {
                        EXPECT_GT(v, 0.6 * white) << "component " << rgb;
                    } else {
                        EXPECT_LT(v, 0.25 * white) << "component " << rgb;
                    }
                }
            } else {
                const double v = Block(frame, x, barY, 0);
                EXPECT_LE(v, previousGrey + 2) << "grey bars darken left to right";
                previousGrey = v;
            }
        }
        // The black lane below the bars (the moving marker covers at most one of these).
        double lane = 1e9;
        for (int x : {300, 1000, 1700}) lane = std::min(lane, Block(frame, x / scale, laneY, 0));
        EXPECT_LT(lane, 0.1 * white) << "the bars must be above the lane";
        const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        if (GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_GRAY16_LE) {
            // 12-bit samples, left-aligned: the low four bits are always 0.
            int low = 0;
            for (int i = 0; i < width * height; ++i) low |= data[2 * i] & 0x0F;
            EXPECT_EQ(low, 0);
        }
        if (GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_BGRA64_LE) {
            // Opaque: the fourth sample is alpha.
            for (int i : {0, width * 64 + 77, width * height - 1}) {
                EXPECT_EQ(data[8 * i + 6] | data[8 * i + 7] << 8, 0xFFFF) << "pixel " << i;
            }
        }
        gst_video_frame_unmap(&frame);
        Release(samples);
    }
}

// ---- Stream: counts, timestamps, offsets, drops ---------------------------------------

TEST_F(VeltCamSrc, FastSinkGetsExactlyNBuffersWithRisingTimestampsAndConsecutiveOffsets) {
    // A modest rate: the check is that nothing is lost while everyone keeps up.
    constexpr int kFrames = 30;
    auto p = Playing("cameras=1;fps=30",
                     "veltcamsrc name=src num-buffers=30 ! video/x-raw,format=GRAY8,width=256,"
                     "height=64 ! appsink name=sink sync=false");
    ASSERT_TRUE(p);
    std::vector<GstSample*> samples = p->Pull(kFrames + 1);
    ExpectQuietBus(*p);
    ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(samples[0])));
    ASSERT_GT(GST_VIDEO_INFO_FPS_N(&info), 0) << "free run has the camera's rate";
    const GstClockTime period = gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(&info),
                                                          GST_VIDEO_INFO_FPS_N(&info));
    for (int i = 0; i < kFrames; ++i) {
        GstBuffer* b = gst_sample_get_buffer(samples[i]);
        ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(b));
        EXPECT_EQ(GST_BUFFER_DURATION(b), period);
        if (i == 0) continue;
        GstBuffer* a = gst_sample_get_buffer(samples[i - 1]);
        EXPECT_GT(GST_BUFFER_PTS(b), GST_BUFFER_PTS(a)) << "buffer " << i;
        EXPECT_EQ(GST_BUFFER_OFFSET(b), GST_BUFFER_OFFSET(a) + 1) << "buffer " << i;
        EXPECT_EQ(GST_BUFFER_OFFSET_END(b), GST_BUFFER_OFFSET(b) + 1);
    }
    // The spacing of the timestamps is the camera's frame period. A loaded machine
    // stretches the simulator's periods (each is paced from the previous send); a
    // clock in the wrong unit or domain is off by far more than a factor of two.
    const double meanNs =
        static_cast<double>(GST_BUFFER_PTS(gst_sample_get_buffer(samples.back())) -
                            GST_BUFFER_PTS(gst_sample_get_buffer(samples[0]))) /
        (kFrames - 1);
    EXPECT_GT(meanNs / static_cast<double>(period), 0.5);
    EXPECT_LT(meanNs / static_cast<double>(period), 2.0);
    GstElement* src = p->Get("src");
    EXPECT_EQ(StatsField(src, "delivered"), static_cast<guint64>(kFrames));
    EXPECT_EQ(StatsField(src, "dropped"), 0u);
    EXPECT_EQ(StatsField(src, "transfer-failures"), 0u);
    // Live, at least one frame period.
    GstQuery* latency = gst_query_new_latency();
    ASSERT_TRUE(gst_element_query(src, latency));
    gboolean live = FALSE;
    GstClockTime min = 0, max = 0;
    gst_query_parse_latency(latency, &live, &min, &max);
    EXPECT_TRUE(live);
    EXPECT_EQ(min, period);
    EXPECT_GE(max, min);
    gst_query_unref(latency);
    Release(samples);
}

TEST_F(VeltCamSrc, RateFixedDownstreamIsKeptByLeavingFramesOutAndASlowerCameraIsNamed) {
    // 15 frames/s from a camera at 60: about every fourth frame. The camera's frame
    // numbers show the frames left out; none of them is a loss.
    constexpr int kFrames = 12;
    auto p = Playing("cameras=1;fps=60",
                     "veltcamsrc name=src ! video/x-raw,format=GRAY8,width=256,height=64,"
                     "framerate=15/1 ! appsink name=sink sync=false");
    ASSERT_TRUE(p);
    std::vector<GstSample*> samples = p->Pull(kFrames);
    ExpectQuietBus(*p);
    ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(samples[0])));
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 15);
    EXPECT_EQ(GST_VIDEO_INFO_FPS_D(&info), 1);
    const GstBuffer* first = gst_sample_get_buffer(samples.front());
    const GstBuffer* last = gst_sample_get_buffer(samples.back());
    EXPECT_EQ(GST_BUFFER_DURATION(first), GST_SECOND / 15);
    // A loaded machine slows the simulated camera, never below 30 frames/s here:
    // at least every second frame is left out, and the camera numbers them all.
    const double step =
        static_cast<double>(GST_BUFFER_OFFSET(last) - GST_BUFFER_OFFSET(first)) / (kFrames - 1);
    EXPECT_GE(step, 2.0);
    EXPECT_LE(step, 6.0);
    const double spacing =
        static_cast<double>(GST_BUFFER_PTS(last) - GST_BUFFER_PTS(first)) / (kFrames - 1);
    EXPECT_GT(spacing / (GST_SECOND / 15.0), 0.5);
    EXPECT_LT(spacing / (GST_SECOND / 15.0), 2.0);
    GstElement* src = p->Get("src");
    EXPECT_EQ(StatsField(src, "dropped"), 0u);
    Release(samples);
    p->Stop();

    // Faster than the camera: every frame, and a warning naming both rates.
    auto slow = Playing("cameras=1;fps=10",
                        "veltcamsrc ! video/x-raw,format=GRAY8,width=256,height=64,"
                        "framerate=30/1 ! appsink name=sink sync=false");
    ASSERT_TRUE(slow);
    std::vector<GstSample*> frames = slow->Pull(3);
    EXPECT_EQ(frames.size(), 3u);
    GstMessage* warning = slow->Next(GST_MESSAGE_WARNING, 0);
    ASSERT_NE(warning, nullptr);
    GError* e = nullptr;
    gst_message_parse_warning(warning, &e, nullptr);
    const std::string text = e->message;
    EXPECT_NE(text.find("slower than the 30/1 fixed downstream"), std::string::npos) << text;
    g_error_free(e);
    gst_message_unref(warning);
    Release(frames);
}

TEST_F(VeltCamSrc, SlowSinkShowsDropsAsOffsetGapsInStatsAndQosMessages) {
    auto p =
        Playing("cameras=1;fps=100",
                "veltcamsrc name=src queue-size=2 ! video/x-raw,format=GRAY8,width=256,height=64 "
                "! appsink name=sink sync=false max-buffers=1");
    ASSERT_TRUE(p);
    guint64 gaps = 0;
    guint64 previous = 0;
    for (int i = 0; i < 8; ++i) {
        GstSample* sample = gst_app_sink_try_pull_sample(p->Sink(), kBusWait);
        ASSERT_NE(sample, nullptr);
        const guint64 offset = GST_BUFFER_OFFSET(gst_sample_get_buffer(sample));
        if (i > 0) {
            ASSERT_GT(offset, previous);
            gaps += offset - previous - 1;
        }
        previous = offset;
        gst_sample_unref(sample);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // the slow consumer
    }
    // Read before stopping: the drops counted up to the last buffer pulled, and
    // at most those of the buffers still on their way.
    const guint64 dropped = StatsField(p->Get("src"), "dropped");
    EXPECT_GT(gaps, 0u) << "a consumer at about 15 frames per second behind a 100-frame camera";
    EXPECT_GE(dropped, gaps);
    GstMessage* qos = p->Next(GST_MESSAGE_QOS, 0);
    ASSERT_NE(qos, nullptr) << "a QoS message for the lost frames";
    EXPECT_EQ(GST_MESSAGE_SRC(qos), GST_OBJECT(p->Get("src")));
    GstFormat format = GST_FORMAT_UNDEFINED;
    guint64 processed = 0, lost = 0;
    gst_message_parse_qos_stats(qos, &format, &processed, &lost);
    EXPECT_EQ(format, GST_FORMAT_BUFFERS);
    EXPECT_GT(lost, 0u);
    gst_message_unref(qos);
    ExpectQuietBus(*p);
}

TEST_F(VeltCamSrc, FramesLostInTransferCountAsDroppedWithAQosMessage) {
    // Two frames the camera sends well after the start never arrive; the sink keeps up.
    auto p = Playing("cameras=1;fps=60;stalls=instant;faults=payload-stall@30,payload-stall@34",
                     "veltcamsrc name=src pipeline-threads=2 ! video/x-raw,format=GRAY8,"
                     "width=256,height=64 ! appsink name=sink sync=false");
    ASSERT_TRUE(p);
    GstElement* src = p->Get("src");
    int threads = 0;
    g_object_get(src, "pipeline-threads", &threads, nullptr);
    EXPECT_EQ(threads, 2);
    g_object_set(src, "pipeline-threads", 0, nullptr);  // the library's default, while playing
    std::vector<GstSample*> samples = p->Pull(45);
    ASSERT_EQ(samples.size(), 45u);
    const guint64 lost = StatsField(src, "lost-in-transfer");
    EXPECT_GE(lost, 2u);
    EXPECT_GE(StatsField(src, "dropped"), lost);
    guint64 qosLost = 0;
    while (GstMessage* qos = p->Next(GST_MESSAGE_QOS, 0)) {
        GstFormat format = GST_FORMAT_UNDEFINED;
        guint64 processed = 0;
        gst_message_parse_qos_stats(qos, &format, &processed, &qosLost);
        gst_message_unref(qos);
    }
    EXPECT_GE(qosLost, lost) << "the last QoS message carries the running total";
    ExpectQuietBus(*p);
    Release(samples);
}

// ---- Settings while playing, trigger idle ---------------------------------------------

// Mean of all samples of a GRAY8 or BGR sample, scaled to 8 bits.
double MeanLevel(GstSample* sample) {
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return -1;
    double sum = 0;
    for (gsize i = 0; i < map.size; ++i) sum += map.data[i];
    gst_buffer_unmap(buffer, &map);
    return map.size == 0 ? -1 : sum / static_cast<double>(map.size);
}

TEST_F(VeltCamSrc, SettingsChangedWhilePlayingReadBackAndFramesKeepComing) {
    auto p = Playing("cameras=1",
                     "veltcamsrc name=src ! video/x-raw,format=BGR,width=512,height=128 "
                     "! appsink name=sink sync=false max-buffers=2 drop=true");
    ASSERT_TRUE(p);
    std::vector<GstSample*> samples = p->Pull(2);
    ASSERT_EQ(samples.size(), 2u);
    GstElement* src = p->Get("src");
    // 5049 us lies between two of the camera's 0.1 ms units: only a value read
    // from the camera comes back on the grid, a cached request would not.
    g_object_set(src, "exposure", 5049.0, "gain", 100, "gamma", 150, "white-balance", 2, nullptr);
    double exposure = 0;
    int gain = 0, gamma = 0, balance = 0;
    g_object_get(src, "exposure", &exposure, "gain", &gain, "gamma", &gamma, "white-balance",
                 &balance, nullptr);
    EXPECT_EQ(exposure, 5000.0) << "the camera's whole number of 0.1 ms units";
    EXPECT_EQ(gain, 100);
    EXPECT_EQ(gamma, 150);
    EXPECT_EQ(balance, 2);
    // Frames keep coming after the change, with the new settings: four times the
    // gain steps' brightness (+120 steps of 0.1 dB) shows in the pixels. The first
    // frames pulled may have left the camera before the change.
    std::vector<GstSample*> after = p->Pull(3);
    ASSERT_EQ(after.size(), 3u);
    const double before = MeanLevel(after.back());
    g_object_set(src, "gain", 220, nullptr);
    std::vector<GstSample*> brighter = p->Pull(4);
    ASSERT_EQ(brighter.size(), 4u);
    EXPECT_GT(MeanLevel(brighter.back()), 1.3 * before) << "before " << before;
    // A one-shot balance turns itself off after a frame.
    g_object_set(src, "white-balance", 1, nullptr);
    std::vector<GstSample*> more = p->Pull(4);
    EXPECT_EQ(more.size(), 4u);
    g_object_get(src, "white-balance", &balance, nullptr);
    EXPECT_EQ(balance, 0);
    // Settings that shape the stream wait for the next start.
    g_object_set(src, "offset-x", 64, nullptr);
    int offsetX = -1;
    g_object_get(src, "offset-x", &offsetX, nullptr);
    EXPECT_EQ(offsetX, 0);
    ExpectQuietBus(*p);
    Release(samples);
    Release(after);
    Release(brighter);
    Release(more);
}

TEST_F(VeltCamSrc, TimeOutWithoutAFrameIsAReadErrorNamingIt) {
    // Trigger mode with no trigger source: no frame ever comes, and the element
    // waits only as long as it was told.
    auto p = Playing("cameras=1",
                     "veltcamsrc name=src trigger=true timeout-ms=400 ! "
                     "video/x-raw,format=GRAY8,width=256,height=64 ! appsink name=sink sync=false");
    ASSERT_TRUE(p);
    GstMessage* error = p->Next(GST_MESSAGE_ERROR);
    ASSERT_NE(error, nullptr) << "no bus error after the time-out";
    GError* e = nullptr;
    gst_message_parse_error(error, &e, nullptr);
    EXPECT_TRUE(g_error_matches(e, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ)) << e->message;
    EXPECT_NE(std::string(e->message).find("400 ms"), std::string::npos) << e->message;
    g_error_free(e);
    gst_message_unref(error);
    EXPECT_EQ(StatsField(p->Get("src"), "delivered"), 0u);
}

TEST_F(VeltCamSrc, TriggerModeIdlesFiveSecondsWithoutErrorThenDeliversTheTriggeredFrame) {
    // The simulated trigger source fires first after 5.5 s.
    UseSimulator("cameras=1;trigger=5500");
    CPipeline p(
        "veltcamsrc name=src trigger=true ! video/x-raw,format=GRAY8,width=256,height=64 "
        "! appsink name=sink sync=false");
    ASSERT_TRUE(p.Valid());
    const auto started = Clock::now();
    ASSERT_NE(p.Play(), GST_STATE_CHANGE_FAILURE);
    GstSample* sample = gst_app_sink_try_pull_sample(p.Sink(), kBusWait);
    ASSERT_NE(sample, nullptr);
    EXPECT_GE(Clock::now() - started, std::chrono::seconds(5));
    ExpectQuietBus(p);
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
    EXPECT_EQ(GST_VIDEO_INFO_FPS_N(&info), 0) << "no frame rate in trigger mode";
    EXPECT_FALSE(GST_BUFFER_DURATION_IS_VALID(gst_sample_get_buffer(sample)));
    gst_sample_unref(sample);
    GstQuery* latency = gst_query_new_latency();
    ASSERT_TRUE(gst_element_query(p.Get("src"), latency));
    GstClockTime min = 0, max = 0;
    gst_query_parse_latency(latency, nullptr, &min, &max);
    EXPECT_EQ(max, GST_CLOCK_TIME_NONE) << "unbounded in trigger mode";
    gst_query_unref(latency);
    // Stopping while the element waits for the next trigger (5.5 s away) does
    // not wait for it.
    const auto stopping = Clock::now();
    p.Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
}

// ---- Errors ------------------------------------------------------------------------------

TEST_F(VeltCamSrc, UnplugEndsTheStreamWithAReadErrorAndNoHang) {
    auto p = Playing("cameras=1;faults=unplug@20",
                     "veltcamsrc name=src ! video/x-raw,format=GRAY8,width=256,height=64 "
                     "! appsink name=sink sync=false");
    ASSERT_TRUE(p);
    GstMessage* error = p->Next(GST_MESSAGE_ERROR);
    ASSERT_NE(error, nullptr) << "no bus error after the unplug";
    GError* e = nullptr;
    gst_message_parse_error(error, &e, nullptr);
    EXPECT_TRUE(g_error_matches(e, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ)) << e->message;
    g_error_free(e);
    gst_message_unref(error);
    EXPECT_EQ(StatsField(p->Get("src"), "transfer-failures"), 1u);
    const auto stopping = Clock::now();
    p->Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5));
}

TEST_F(VeltCamSrc, StartAndNegotiationErrorsNameTheCauseAndLeaveNothingRunning) {
    struct Case {
        const char* what;
        const char* simulator;
        const char* pipeline;
        GQuark domain;
        int code;
        const char* mentions;
    };
    const Case cases[] = {
        {"no camera", "cameras=0", "veltcamsrc", GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND,
         "No camera was found; check that the camera is plugged in and that this user may open "
         "it, or set VELTCAM_SIMULATOR=1"},
        {"index beyond the cameras", "cameras=2", "veltcamsrc device-index=5", GST_RESOURCE_ERROR,
         GST_RESOURCE_ERROR_NOT_FOUND, "_02"},
        {"unknown name", "cameras=1", "veltcamsrc device-name=nonesuch", GST_RESOURCE_ERROR,
         GST_RESOURCE_ERROR_NOT_FOUND, "_01"},
        {"window the sensor cannot read", "cameras=1", "veltcamsrc offset-x=3", GST_RESOURCE_ERROR,
         GST_RESOURCE_ERROR_SETTINGS, "window"},
        {"offsets with half readout", "cameras=1", "veltcamsrc half-readout=true offset-y=8",
         GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_SETTINGS, "half readout"},
        {"width off the sensor's step", "cameras=1",
         "veltcamsrc ! video/x-raw,width=1000,height=768", GST_STREAM_ERROR, -1, ""},
        {"window beyond the offsets", "cameras=1",
         "veltcamsrc offset-x=1024 ! video/x-raw,width=2048", GST_STREAM_ERROR, -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseSimulator(c.simulator);
        CPipeline p(std::string(c.pipeline) + " ! fakesink");
        ASSERT_TRUE(p.Valid());
        p.Play();
        GstMessage* error = p.Next(GST_MESSAGE_ERROR);
        ASSERT_NE(error, nullptr);
        GError* e = nullptr;
        gst_message_parse_error(error, &e, nullptr);
        EXPECT_EQ(e->domain, c.domain) << e->message;
        if (c.code >= 0) {
            EXPECT_EQ(e->code, c.code) << e->message;
        }
        EXPECT_NE(std::string(e->message).find(c.mentions), std::string::npos) << e->message;
        g_error_free(e);
        gst_message_unref(error);
    }
    // With two cameras, the name selects the second.
    UseSimulator("cameras=2");
    CPipeline p(
        "veltcamsrc name=src device-name=VeltCamM40-USB3-R7_02 num-buffers=1 "
        "! video/x-raw,width=256,height=64 ! appsink name=sink sync=false");
    ASSERT_NE(p.Play(), GST_STATE_CHANGE_FAILURE);
    std::vector<GstSample*> samples = p.Pull(1);
    ASSERT_EQ(samples.size(), 1u);
    int index = -1;
    g_object_get(p.Get("src"), "device-index", &index, nullptr);
    EXPECT_EQ(index, 1);
    Release(samples);
}

// ---- Start/stop cycles ------------------------------------------------------------------

int CountEntries(const char* folder) {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++n;
    return n;
}

TEST_F(VeltCamSrc, TwentyStartStopCyclesSomeInterruptedLeaveNoThreadOrDescriptor) {
    UseSimulator("cameras=1");
    auto cycle = [](int i) {
        CPipeline p(
            "veltcamsrc name=src ! video/x-raw,format=GRAY8,width=256,height=64 "
            "! appsink name=sink sync=false max-buffers=1 drop=true");
        ASSERT_TRUE(p.Valid());
        ASSERT_NE(p.Play(), GST_STATE_CHANGE_FAILURE);
        // Every third cycle is stopped at once, while the camera starts and the
        // frame rate is measured; the others after frames came.
        if (i % 3 != 0) {
            std::vector<GstSample*> samples = p.Pull(1 + i % 2);
            EXPECT_EQ(samples.size(), static_cast<size_t>(1 + i % 2)) << "cycle " << i;
            Release(samples);
        }
        ExpectQuietBus(p);
    };
    cycle(1);  // GStreamer's own lazily started threads and files
    const int threads = CountEntries("/proc/self/task");
    const int descriptors = CountEntries("/proc/self/fd");
    for (int i = 0; i < 20; ++i) cycle(i);
    // GLib's thread pool may keep a couple of idle workers of its own.
    EXPECT_LE(CountEntries("/proc/self/task"), threads + 2);
    EXPECT_EQ(CountEntries("/proc/self/fd"), descriptors);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    const int result = RUN_ALL_TESTS();
    // Joins GStreamer's task and clock threads, so that nothing is still
    // running (or allocating) when the leak check looks at the process.
    gst_deinit();
    return result;
}
