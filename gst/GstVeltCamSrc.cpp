#include "GstVeltCamSrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Failures.h"
#include "VeltCamSdk.h"
#include "VeltCamSdkEx.h"

GST_DEBUG_CATEGORY_STATIC(veltcam_src_debug);
#define GST_CAT_DEFAULT veltcam_src_debug

namespace {

// The capture window's alignment on the sensor: the width in steps of 16
// pixels and the height in steps of 4 rows, at even offsets. (Half readout
// always delivers the whole sensor at half size.)
constexpr int kWidthStep = 16;
constexpr int kHeightStep = 4;
constexpr int kMinWidth = 64;
constexpr int kMinHeight = 16;

// How long one frame wait may run before the streaming thread looks at the
// unlock flag again: the bound on how late a flush or state change is served.
constexpr int kWaitSliceMs = 50;
// Automatic time-out in free run: several frame periods, but never less than
// a conversion on a busy machine can take.
constexpr int kAutoTimeoutPeriods = 5;
constexpr int kMinAutoTimeoutMs = 2000;
// Before the frame period is known (while it is measured): a generous bound
// on the first frames, to which the exposure is added.
constexpr int kStartTimeoutMs = 3000;
// Frame intervals measured at start to find the camera's rate.
constexpr int kRateIntervals = 4;
// A rate fixed downstream within this factor of the measured one is the camera's own.
constexpr double kRateTolerance = 1.05;
// Latency allowance in trigger mode, where there is no frame period: the time
// the SDK takes to convert and hand over a frame after its transfer.
constexpr GstClockTime kTriggerLatency = 33 * GST_MSECOND;

constexpr const char* kFormats = "{ BGRx, BGR, GRAY8, GRAY16_LE, BGRA64_LE }";

enum Property {
    PROP_0,
    PROP_DEVICE_INDEX,
    PROP_DEVICE_NAME,
    PROP_EXPOSURE,
    PROP_GAIN,
    PROP_AUTO_EXPOSURE,
    PROP_WHITE_BALANCE,
    PROP_GAMMA,
    PROP_CONTRAST,
    PROP_SHARPNESS,
    PROP_HUE,
    PROP_SATURATION,
    PROP_BRIGHTNESS,
    PROP_OFFSET_X,
    PROP_OFFSET_Y,
    PROP_HALF_READOUT,
    PROP_FLIP_HORIZONTAL,
    PROP_FLIP_VERTICAL,
    PROP_TRIGGER,
    PROP_TIMEOUT_MS,
    PROP_QUEUE_SIZE,
    PROP_PIPELINE_THREADS,
    PROP_STATS,
};

enum WhiteBalance { kWhiteBalanceOff = 0, kWhiteBalanceOnce = 1, kWhiteBalanceContinuous = 2 };

// The image-side tone settings: one setter and getter pair of the SDK each,
// with the SDK's ranges.
struct ToneSetting {
    Property property;
    const char* name;
    const char* blurb;
    int min, max, neutral;
    int (*set)(VeltCamHandle, int);
    int (*get)(VeltCamHandle, int*);
};

const ToneSetting kTones[] = {
    {PROP_GAMMA, "gamma", "Gamma in hundredths (100 = linear)", 0, 200, 100, VeltCam_SetGamma,
     VeltCam_GetGamma},
    {PROP_CONTRAST, "contrast", "Contrast (0 = neutral)", -127, 127, 0, VeltCam_SetContrast,
     VeltCam_GetContrast},
    {PROP_SHARPNESS, "sharpness", "Sharpening in tenths (0 = off)", 0, 30, 0, VeltCam_SetSharpness,
     VeltCam_GetSharpness},
    {PROP_HUE, "hue", "Hue rotation in degrees", -360, 360, 0, VeltCam_SetHue, VeltCam_GetHue},
    {PROP_SATURATION, "saturation", "Saturation (0 = neutral)", -255, 255, 0, VeltCam_SetSaturation,
     VeltCam_GetSaturation},
    {PROP_BRIGHTNESS, "brightness", "Brightness offset (0 = neutral)", -255, 255, 0,
     VeltCam_SetBrightness, VeltCam_GetBrightness},
};
constexpr int kToneCount = static_cast<int>(sizeof kTones / sizeof kTones[0]);

const ToneSetting* FindTone(guint property) {
    for (const ToneSetting& t : kTones) {
        if (t.property == static_cast<Property>(property)) return &t;
    }
    return nullptr;
}

// The SDK's error codes by the names of its header, as the command-line tool prints them.
using veltcam::tool::ErrorName;

// The newest error code of the handle, the rest of the history dropped so that
// the next failure is read alone.
int TakeError(VeltCamHandle handle) {
    const int newest = VeltCam_GetLastError(handle);
    for (int i = 0; i < 32 && VeltCam_GetLastError(handle) != 0; ++i) {
    }
    return newest;
}

int BitsOf(GstVideoFormat format) {
    switch (format) {
        case GST_VIDEO_FORMAT_GRAY8:
            return VELTCAM_COLOR_MONO8;
        case GST_VIDEO_FORMAT_GRAY16_LE:
            return VELTCAM_COLOR_MONO16;
        case GST_VIDEO_FORMAT_BGR:
            return VELTCAM_COLOR_BGR24;
        case GST_VIDEO_FORMAT_BGRx:
            return VELTCAM_COLOR_BGRX32;
        case GST_VIDEO_FORMAT_BGRA64_LE:
            return VELTCAM_COLOR_BGRX64;
        default:
            return 0;
    }
}

// Requested values of the properties. Camera-side ones are applied at start
// only when they were set, so that otherwise the camera's stored settings stay.
struct Requested {
    int deviceIndex = -1;
    std::string deviceName;
    double exposureUs = 17000.0;
    int gain = 64;
    int autoExposure = VELTCAM_AUTO_IRIS_OFF;
    int whiteBalance = kWhiteBalanceOff;
    int tone[kToneCount] = {100, 0, 0, 0, 0, 0};
    int offsetX = 0;
    int offsetY = 0;
    bool halfReadout = false;
    bool flipH = false;
    bool flipV = false;
    bool trigger = false;
    int timeoutMs = -1;
    int queueSize = 4;
    int pipelineThreads = 0;  // 0: the library's default
    // Which camera-side settings the application set (bit = property id).
    guint64 explicitly = 0;
    bool IsSet(Property p) const { return (explicitly >> p) & 1u; }
};

// What the camera was started with.
struct Geometry {
    int bits = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Geometry&) const = default;
};

// The element's state beside the GObject instance (which GLib allocates
// without running constructors).
struct CSrcState {
    // Guards `requested`, `handle` while it is opened or closed, and every SDK
    // call made from property accessors. Never held while waiting for a frame.
    std::mutex lock;
    Requested requested;
    VeltCamHandle handle = 0;
    int deviceNumber = -1;
    int storedWaitTimeMs = 0;

    // Streaming thread only (negotiate, create), and start/stop around it.
    bool acquiring = false;
    Geometry running;
    GstVideoInfo info{};
    bool haveInfo = false;
    GstBufferPool* pool = nullptr;
    GstClockTime period = GST_CLOCK_TIME_NONE;  // none in trigger mode
    // A rate fixed downstream below the camera's: frames are left out so that one is
    // delivered per period, each due one period after the last was due.
    bool limitRate = false;
    GstClockTime cameraPeriod = GST_CLOCK_TIME_NONE;
    guint64 nextDueNs = 0;
    int timeoutMs = kStartTimeoutMs;
    bool haveLast = false;
    guint64 lastFrame = 0;
    GstClockTime lastPts = GST_CLOCK_TIME_NONE;
    guint64 qosProcessed = 0;
    // The frame number after which a one-shot white balance has been applied.
    gint64 whiteBalanceOnceAfter = -1;
    bool whiteBalanceOncePending = false;

    std::atomic<bool> unlocking{false};
    std::atomic<guint64> delivered{0};
    std::atomic<guint64> dropped{0};
    // The part of `dropped` the camera sent but the transfer lost or rejected.
    std::atomic<guint64> lostInTransfer{0};
};

}  // namespace

struct _GstVeltCamSrc {
    GstPushSrc parent;
    CSrcState* state;
};

G_DEFINE_TYPE(GstVeltCamSrc, gst_veltcam_src, GST_TYPE_PUSH_SRC)

namespace {

GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) { BGRx, BGR, GRAY8, GRAY16_LE, BGRA64_LE }, "
                    "width = (int) [ 64, 2048 ], height = (int) [ 16, 1536 ], "
                    "framerate = (fraction) [ 0/1, MAX ]"));

// Registers an enum type once, for the property that uses it.
GType EnumType(GType* type, const char* name, const GEnumValue* values) {
    if (g_once_init_enter(type)) g_once_init_leave(type, g_enum_register_static(name, values));
    return *type;
}

GType AutoExposureType() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {VELTCAM_AUTO_IRIS_OFF, "Fixed exposure and gain", "off"},
        {VELTCAM_AUTO_IRIS_EXPOSURE, "Automatic exposure time", "exposure"},
        {VELTCAM_AUTO_IRIS_GAIN, "Automatic gain", "gain"},
        {0, nullptr, nullptr}};
    return EnumType(&type, "GstVeltCamAutoExposure", values);
}

GType WhiteBalanceType() {
    static GType type = 0;
    static const GEnumValue values[] = {
        {kWhiteBalanceOff, "Fixed colour gains", "off"},
        {kWhiteBalanceOnce, "Balance on one frame, then keep the gains", "once"},
        {kWhiteBalanceContinuous, "Balance every frame", "continuous"},
        {0, nullptr, nullptr}};
    return EnumType(&type, "GstVeltCamWhiteBalance", values);
}

// The installed property specifications, for their names in messages.
GParamSpec* gSpecs[PROP_STATS + 1] = {};

const char* PropertyName(guint id) { return gSpecs[id] != nullptr ? gSpecs[id]->name : "?"; }

CSrcState& State(gpointer object) { return *GST_VELTCAM_SRC(object)->state; }

// Exposure in the camera's 0.1 ms units from microseconds, rounded.
int ExposureUnits(double microseconds) {
    return static_cast<int>(std::lround(microseconds / 100.0));
}

// Applies one camera-side setting. False (with the code in *code) when the
// camera refused it.
bool ApplySetting(VeltCamHandle h, const Requested& r, Property p, int* code) {
    int ok = 1;
    switch (p) {
        case PROP_EXPOSURE:
            ok = VeltCam_SetExposureTime(h, ExposureUnits(r.exposureUs));
            break;
        case PROP_GAIN:
            ok = VeltCam_SetGlobalGain(h, r.gain);
            break;
        case PROP_AUTO_EXPOSURE:
            ok = VeltCam_SetAutoIris(h, r.autoExposure);
            break;
        case PROP_WHITE_BALANCE:
            ok = VeltCam_SetBayerGainAuto(h, r.whiteBalance != kWhiteBalanceOff ? 1 : 0);
            break;
        case PROP_FLIP_HORIZONTAL:
            ok = VeltCam_SetMirrorH(h, r.flipH ? 1 : 0);
            break;
        case PROP_FLIP_VERTICAL:
            ok = VeltCam_SetMirrorV(h, r.flipV ? 1 : 0);
            break;
        default:
            if (const ToneSetting* t = FindTone(p)) ok = t->set(h, r.tone[t - kTones]);
            break;
    }
    *code = ok ? 0 : TakeError(h);
    return ok != 0;
}

// The frame number of the newest converted frame, or -1 before the first.
gint64 NewestFrameNumber(VeltCamHandle h) {
    VeltCamExFrameInfo info{};
    info.size = sizeof info;
    if (VeltCamEx_GetFrameInfo(h, &info) != 1) {
        TakeError(h);
        return -1;
    }
    return static_cast<gint64>(info.frameNumber);
}

void ArmWhiteBalanceOnce(CSrcState& s) {
    s.whiteBalanceOncePending = true;
    // A frame converted while the switch was flipped may not have balanced yet:
    // only the one after it surely has.
    s.whiteBalanceOnceAfter = s.handle != 0 ? NewestFrameNumber(s.handle) + 1 : -1;
}

int AutoTimeoutMs(const CSrcState& s) {
    if (s.requested.timeoutMs >= 0) return s.requested.timeoutMs;
    if (s.requested.trigger) return -1;
    if (s.period == GST_CLOCK_TIME_NONE) return kStartTimeoutMs;
    const guint64 periods = kAutoTimeoutPeriods * s.period / GST_MSECOND;
    return static_cast<int>(std::clamp<guint64>(periods, kMinAutoTimeoutMs, G_MAXINT));
}

// ---------------------------------------------------------------------------
// Properties

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    GstVeltCamSrc* self = GST_VELTCAM_SRC(object);
    CSrcState& s = *self->state;
    std::unique_lock<std::mutex> guard(s.lock);
    Requested& r = s.requested;
    const Property p = static_cast<Property>(id);
    // Settings that shape the stream are taken at start; once the camera is
    // open they wait for the next start.
    const bool open = s.handle != 0;
    auto readyOnly = [&] {
        if (open) {
            GST_WARNING_OBJECT(self, "%s can be changed only in the NULL or READY state",
                               pspec->name);
        }
        return !open;
    };
    switch (p) {
        case PROP_DEVICE_INDEX:
            if (readyOnly()) r.deviceIndex = g_value_get_int(value);
            return;
        case PROP_DEVICE_NAME:
            if (readyOnly()) {
                const char* name = g_value_get_string(value);
                r.deviceName = name ? name : "";
            }
            return;
        case PROP_OFFSET_X:
            if (readyOnly()) r.offsetX = g_value_get_int(value);
            return;
        case PROP_OFFSET_Y:
            if (readyOnly()) r.offsetY = g_value_get_int(value);
            return;
        case PROP_HALF_READOUT:
            if (readyOnly()) r.halfReadout = g_value_get_boolean(value);
            return;
        case PROP_TRIGGER:
            if (readyOnly()) r.trigger = g_value_get_boolean(value);
            return;
        case PROP_QUEUE_SIZE:
            if (readyOnly()) r.queueSize = g_value_get_int(value);
            return;
        case PROP_PIPELINE_THREADS:
            // The library takes a new cap with the next frame, streaming or not.
            r.pipelineThreads = g_value_get_int(value);
            if (open) VeltCamEx_SetPipelineThreads(s.handle, r.pipelineThreads);
            return;
        case PROP_FLIP_HORIZONTAL:
            if (!readyOnly()) return;
            r.flipH = g_value_get_boolean(value);
            r.explicitly |= 1ull << p;
            return;
        case PROP_FLIP_VERTICAL:
            if (!readyOnly()) return;
            r.flipV = g_value_get_boolean(value);
            r.explicitly |= 1ull << p;
            return;
        case PROP_TIMEOUT_MS:
            r.timeoutMs = g_value_get_int(value);
            if (s.haveInfo) s.timeoutMs = AutoTimeoutMs(s);
            return;
        case PROP_EXPOSURE:
            r.exposureUs = g_value_get_double(value);
            break;
        case PROP_GAIN:
            r.gain = g_value_get_int(value);
            break;
        case PROP_AUTO_EXPOSURE:
            r.autoExposure = g_value_get_enum(value);
            break;
        case PROP_WHITE_BALANCE:
            r.whiteBalance = g_value_get_enum(value);
            break;
        default:
            if (const ToneSetting* t = FindTone(id)) {
                r.tone[t - kTones] = g_value_get_int(value);
                break;
            }
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            return;
    }
    // Settings that may change while the camera streams.
    r.explicitly |= 1ull << p;
    if (!open) return;
    int code = 0;
    if (!ApplySetting(s.handle, r, p, &code)) {
        // Posted without the lock: a bus handler may read properties.
        guard.unlock();
        GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS,
                            ("The camera refused the setting %s.", pspec->name),
                            ("%s", ErrorName(code).c_str()));
        return;
    }
    if (p == PROP_WHITE_BALANCE) {
        s.whiteBalanceOncePending = false;
        if (r.whiteBalance == kWhiteBalanceOnce) ArmWhiteBalanceOnce(s);
    }
}

GstStructure* StatsStructure(CSrcState& s) {
    guint64 rejected = 0, failures = 0;
    if (s.handle != 0) {
        VeltCamExStreamStats stats{};
        stats.size = sizeof stats;
        if (VeltCamEx_GetStreamStats(s.handle, &stats) == 1) {
            rejected = stats.framesRejected;
            failures = stats.transferFailures;
        }
    }
    return gst_structure_new("veltcamsrc-stats", "delivered", G_TYPE_UINT64, s.delivered.load(),
                             "dropped", G_TYPE_UINT64, s.dropped.load(), "lost-in-transfer",
                             G_TYPE_UINT64, s.lostInTransfer.load(), "rejected", G_TYPE_UINT64,
                             rejected, "transfer-failures", G_TYPE_UINT64, failures, nullptr);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    CSrcState& s = State(object);
    std::lock_guard<std::mutex> guard(s.lock);
    const Requested& r = s.requested;
    const VeltCamHandle h = s.handle;
    int ok = 0;
    // While the camera is open, getters read what the camera actually holds.
    switch (static_cast<Property>(id)) {
        case PROP_DEVICE_INDEX:
            g_value_set_int(value, h != 0 ? s.deviceNumber : r.deviceIndex);
            return;
        case PROP_DEVICE_NAME:
            if (h != 0) {
                char name[VELTCAM_DEVICE_NAME_SIZE] = {};
                if (VeltCam_GetDeviceName(h, s.deviceNumber, name, sizeof name)) {
                    g_value_set_string(value, name);
                    return;
                }
                TakeError(h);
            }
            g_value_set_string(value, r.deviceName.empty() ? nullptr : r.deviceName.c_str());
            return;
        case PROP_EXPOSURE:
            if (h != 0) {
                const int units = VeltCam_GetExposureTime(h, &ok);
                if (ok) {
                    g_value_set_double(value, units * 100.0);
                    return;
                }
                TakeError(h);
            }
            g_value_set_double(value, r.exposureUs);
            return;
        case PROP_GAIN:
            if (h != 0) {
                const int gain = VeltCam_GetGlobalGain(h, &ok);
                if (ok) {
                    g_value_set_int(value, gain);
                    return;
                }
                TakeError(h);
            }
            g_value_set_int(value, r.gain);
            return;
        case PROP_AUTO_EXPOSURE:
            g_value_set_enum(value, h != 0 ? VeltCam_GetAutoIris(h, &ok) : r.autoExposure);
            return;
        case PROP_WHITE_BALANCE:
            if (h != 0) {
                const int on = VeltCam_GetBayerGainAuto(h, &ok);
                if (ok) {
                    g_value_set_enum(value, !on                         ? kWhiteBalanceOff
                                            : s.whiteBalanceOncePending ? kWhiteBalanceOnce
                                                                        : kWhiteBalanceContinuous);
                    return;
                }
                TakeError(h);
            }
            g_value_set_enum(value, r.whiteBalance);
            return;
        case PROP_OFFSET_X:
        case PROP_OFFSET_Y:
            if (h != 0) {
                int x = 0, y = 0;
                VeltCam_GetCaptureWindowEx(h, nullptr, &x, nullptr, nullptr, &y, nullptr);
                g_value_set_int(value, id == PROP_OFFSET_X ? x : y);
                return;
            }
            g_value_set_int(value, id == PROP_OFFSET_X ? r.offsetX : r.offsetY);
            return;
        case PROP_HALF_READOUT:
            g_value_set_boolean(
                value, h != 0 ? VeltCam_GetSubSample(h) == VELTCAM_SUBSAMPLE_HALF : r.halfReadout);
            return;
        case PROP_FLIP_HORIZONTAL:
            g_value_set_boolean(value, h != 0 ? VeltCam_GetMirrorH(h) == 1 : r.flipH);
            return;
        case PROP_FLIP_VERTICAL:
            g_value_set_boolean(value, h != 0 ? VeltCam_GetMirrorV(h) == 1 : r.flipV);
            return;
        case PROP_TRIGGER:
            g_value_set_boolean(value, r.trigger);
            return;
        case PROP_TIMEOUT_MS:
            g_value_set_int(value, r.timeoutMs);
            return;
        case PROP_QUEUE_SIZE:
            g_value_set_int(value, r.queueSize);
            return;
        case PROP_PIPELINE_THREADS:
            g_value_set_int(value, r.pipelineThreads);
            return;
        case PROP_STATS:
            g_value_take_boxed(value, StatsStructure(s));
            return;
        default:
            if (const ToneSetting* t = FindTone(id)) {
                if (h != 0) {
                    const int v = t->get(h, &ok);
                    if (ok) {
                        g_value_set_int(value, v);
                        return;
                    }
                    TakeError(h);
                }
                g_value_set_int(value, r.tone[t - kTones]);
                return;
            }
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

// ---------------------------------------------------------------------------
// Opening and closing the camera

std::string CameraList(VeltCamHandle h) {
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
    const int count = VeltCam_EnumDevice(h, names);
    TakeError(h);
    if (count <= 0) return "no camera was found";
    std::string list = "found: ";
    for (int i = 0; i < count; ++i) {
        if (i > 0) list += ", ";
        list += names[i];
    }
    return list;
}

// What a user without the camera at hand can do instead; every "no camera"
// error ends with it.
constexpr char kSimulatorHint[] =
    "check that the camera is plugged in and that this user may open it, or set "
    "VELTCAM_SIMULATOR=1 to use the built-in camera simulator";

// Finds the camera the properties name. -1 (with an error posted) when there is none.
int SelectCamera(GstVeltCamSrc* self, VeltCamHandle h, const Requested& r) {
    int number = r.deviceIndex < 0 ? 0 : r.deviceIndex;
    if (!r.deviceName.empty()) {
        number = -1;
        for (int n = 0; n < 32 && number < 0; ++n) {
            char name[VELTCAM_DEVICE_NAME_SIZE] = {};
            if (VeltCam_GetDeviceName(h, n, name, sizeof name) && r.deviceName == name) {
                number = n;
            }
        }
        TakeError(h);
        if (number < 0) {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                              ("No camera named \"%s\"; %s; %s.", r.deviceName.c_str(),
                               CameraList(h).c_str(), kSimulatorHint),
                              (nullptr));
            return -1;
        }
    }
    if (!VeltCam_SetDeviceNumber(h, number)) {
        const int code = TakeError(h);
        if (r.deviceIndex < 0) {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                              ("No camera was found; %s.", kSimulatorHint),
                              ("%s", ErrorName(code).c_str()));
        } else {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND,
                              ("No camera at device index %d; %s; %s.", number,
                               CameraList(h).c_str(), kSimulatorHint),
                              ("%s", ErrorName(code).c_str()));
        }
        return -1;
    }
    return number;
}

gboolean Start(GstBaseSrc* base) {
    GstVeltCamSrc* self = GST_VELTCAM_SRC(base);
    CSrcState& s = *self->state;
    // The camera is opened without the lock (errors are posted on the way, and a
    // bus handler may read properties); the handle is published at the end.
    Requested r;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        r = s.requested;
    }
    const VeltCamHandle h = VeltCam_Initialize(nullptr);
    if (h == 0) {
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("The camera SDK could not be initialised."),
                          (nullptr));
        return FALSE;
    }
    // The sensor's half readout covers the whole frame and ignores the window's
    // position: a window placed on it would silently show another part of the scene.
    if (r.halfReadout && (r.offsetX != 0 || r.offsetY != 0)) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("offset-x and offset-y must be 0 with half readout, which always "
                           "reads the whole sensor."),
                          (nullptr));
        VeltCam_Release(h);
        return FALSE;
    }
    TakeError(h);  // no camera yet is not a failure here; selection says
    const int number = SelectCamera(self, h, r);
    if (number < 0) {
        VeltCam_Release(h);
        return FALSE;
    }
    VeltCamEx_SetPipelineThreads(h, r.pipelineThreads);
    // Settings the application set; the rest stays as the camera's stored settings have it.
    for (guint p = PROP_EXPOSURE; p <= PROP_FLIP_VERTICAL; ++p) {
        if (!r.IsSet(static_cast<Property>(p))) continue;
        int code = 0;
        if (!ApplySetting(h, r, static_cast<Property>(p), &code)) {
            GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                              ("The camera refused the setting %s.", PropertyName(p)),
                              ("%s", ErrorName(code).c_str()));
            VeltCam_Release(h);
            return FALSE;
        }
    }
    std::lock_guard<std::mutex> guard(s.lock);
    s.handle = h;
    s.deviceNumber = number;
    s.storedWaitTimeMs = std::max(0, VeltCam_GetWaitTime(h));
    s.acquiring = false;
    s.running = Geometry{};
    s.haveInfo = false;
    s.period = GST_CLOCK_TIME_NONE;
    s.limitRate = false;
    s.haveLast = false;
    s.lastPts = GST_CLOCK_TIME_NONE;
    s.qosProcessed = 0;
    s.delivered = 0;
    s.dropped = 0;
    s.lostInTransfer = 0;
    s.whiteBalanceOncePending = false;
    if (r.IsSet(PROP_WHITE_BALANCE) && r.whiteBalance == kWhiteBalanceOnce) ArmWhiteBalanceOnce(s);
    VeltCamEx_ResetStreamStats(h);
    return TRUE;
}

void StopAcquisition(CSrcState& s) {
    if (s.acquiring) {
        VeltCam_StopPreview(s.handle);
        TakeError(s.handle);
        s.acquiring = false;
    }
}

gboolean Stop(GstBaseSrc* base) {
    CSrcState& s = State(base);
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.handle != 0) {
        StopAcquisition(s);
        // The pause is kept with the camera's stored settings: the one found at start.
        VeltCam_SetWaitTime(s.handle, s.storedWaitTimeMs);
        VeltCam_Release(s.handle);
        s.handle = 0;
    }
    if (s.pool != nullptr) {
        gst_buffer_pool_set_active(s.pool, FALSE);
        gst_object_unref(s.pool);
        s.pool = nullptr;
    }
    s.haveInfo = false;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Caps and negotiation

// The largest window the offsets leave, aligned, in delivered pixels.
void MaxSize(const Requested& r, int* width, int* height) {
    const int shift = r.halfReadout ? 1 : 0;
    *width = (((VELTCAM_MAX_WIDTH - r.offsetX) >> shift) / kWidthStep) * kWidthStep;
    *height = (((VELTCAM_MAX_HEIGHT - r.offsetY) >> shift) / kHeightStep) * kHeightStep;
}

GstCaps* GetCaps(GstBaseSrc* base, GstCaps* filter) {
    CSrcState& s = State(base);
    GstCaps* caps;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.handle == 0) {
            caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
        } else {
            const Requested& r = s.requested;
            int maxWidth = 0, maxHeight = 0;
            MaxSize(r, &maxWidth, &maxHeight);
            GValue width = G_VALUE_INIT, height = G_VALUE_INIT;
            if (r.halfReadout) {
                // Half readout reads the whole sensor: one size only.
                g_value_init(&width, G_TYPE_INT);
                g_value_init(&height, G_TYPE_INT);
                g_value_set_int(&width, maxWidth);
                g_value_set_int(&height, maxHeight);
            } else {
                g_value_init(&width, GST_TYPE_INT_RANGE);
                g_value_init(&height, GST_TYPE_INT_RANGE);
                gst_value_set_int_range_step(&width, kMinWidth, std::max(kMinWidth, maxWidth),
                                             kWidthStep);
                gst_value_set_int_range_step(&height, kMinHeight, std::max(kMinHeight, maxHeight),
                                             kHeightStep);
            }
            std::string text = std::string("video/x-raw, format = (string) ") + kFormats;
            caps = gst_caps_from_string(text.c_str());
            GstStructure* st = gst_caps_get_structure(caps, 0);
            gst_structure_take_value(st, "width", &width);
            gst_structure_take_value(st, "height", &height);
            if (r.trigger) {
                gst_structure_set(st, "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
            } else {
                gst_structure_set(st, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1,
                                  nullptr);
            }
        }
    }
    if (filter != nullptr) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

// Waits for the next frame in slices, so that an unlock is seen soon.
enum class WaitResult { Frame, TimedOut, Flushing, Failed };

WaitResult WaitForFrame(CSrcState& s, guint8* data, gsize size, int timeoutMs,
                        VeltCamExFrameInfo* info, int* code) {
    const gint64 deadline =
        timeoutMs < 0 ? G_MAXINT64 : g_get_monotonic_time() + gint64{timeoutMs} * 1000;
    for (;;) {
        if (s.unlocking.load()) return WaitResult::Flushing;
        const gint64 left = (deadline - g_get_monotonic_time()) / 1000;
        if (left < 0) return WaitResult::TimedOut;
        const int slice = static_cast<int>(std::min<gint64>(left, kWaitSliceMs));
        info->size = sizeof *info;
        const int result =
            VeltCamEx_WaitFrame(s.handle, data, static_cast<int>(size), 1, slice, info);
        if (result == VELTCAM_EX_WAIT_FRAME) return WaitResult::Frame;
        if (result != VELTCAM_EX_WAIT_TIMEOUT) {
            *code = TakeError(s.handle);
            return s.unlocking.load() ? WaitResult::Flushing : WaitResult::Failed;
        }
        if (slice == 0 && left == 0) return WaitResult::TimedOut;
    }
}

void PostReadError(GstVeltCamSrc* self, WaitResult result, int code, int timeoutMs) {
    if (result == WaitResult::TimedOut) {
        GST_ELEMENT_ERROR(self, RESOURCE, READ,
                          ("The camera delivered no frame within %d ms.", timeoutMs), (nullptr));
    } else if (code == ERR_TIMEOUT) {
        GST_ELEMENT_ERROR(self, RESOURCE, READ,
                          ("The camera stopped delivering frames (unplugged or failed)."),
                          ("%s", ErrorName(code).c_str()));
    } else {
        GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Reading a frame from the camera failed."),
                          ("%s", ErrorName(code).c_str()));
    }
}

// Programs the window and colour mode for the caps' geometry and starts the
// camera (free run or hardware trigger). Keeps a running camera that already
// streams this geometry.
bool StartAcquisition(GstVeltCamSrc* self, const Geometry& g) {
    CSrcState& s = *self->state;
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.acquiring && s.running == g) return true;
    StopAcquisition(s);
    const Requested r = s.requested;
    const VeltCamHandle h = s.handle;
    const int shift = r.halfReadout ? 1 : 0;
    // Errors are posted without the lock: a bus handler may read properties.
    auto refuse = [&](const char* what) {
        const int code = TakeError(h);
        guard.unlock();
        GST_ELEMENT_ERROR(
            self, RESOURCE, SETTINGS, ("The camera refused %s.", what),
            ("%dx%d at (%d, %d)%s, %d bits per pixel: %s", g.width, g.height, r.offsetX, r.offsetY,
             r.halfReadout ? " in half readout" : "", g.bits, ErrorName(code).c_str()));
        return false;
    };
    if (!VeltCam_SetColorMode(h, g.bits)) return refuse("the pixel format");
    if (!VeltCam_SetSubSample(h, shift ? VELTCAM_SUBSAMPLE_HALF : VELTCAM_SUBSAMPLE_FULL)) {
        return refuse("half readout");
    }
    if (!VeltCam_SetCaptureWindowEx(h, VELTCAM_MAX_WIDTH, r.offsetX, g.width << shift,
                                    VELTCAM_MAX_HEIGHT, r.offsetY, g.height << shift)) {
        return refuse("the capture window");
    }
    if (!VeltCamEx_SetFrameQueue(h, r.queueSize, VELTCAM_EX_QUEUE_OLDEST_FIRST)) {
        return refuse("the frame queue");
    }
    VeltCam_SetPreviewWindow(h, nullptr, 0, 0, 0, 0);
    // The display loop's pause between frames leaves time to a preview window's
    // thread; here it would only let frames be overwritten in the camera's ring.
    VeltCam_SetWaitTime(h, 0);
    const int started =
        r.trigger ? VeltCam_Trigger(h, nullptr, nullptr, 0, 1) : VeltCam_StartPreview(h);
    if (!started) {
        const int code = TakeError(h);
        guard.unlock();
        if (code == ERR_IMAGE_SIZE) {
            GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("The camera refused the capture window."),
                              ("%dx%d at (%d, %d): %s", g.width, g.height, r.offsetX, r.offsetY,
                               ErrorName(code).c_str()));
        } else {
            GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("The camera did not start streaming."),
                              ("%s", ErrorName(code).c_str()));
        }
        return false;
    }
    s.acquiring = true;
    s.running = g;
    s.haveLast = false;
    s.lastPts = GST_CLOCK_TIME_NONE;
    return true;
}

// The camera's frame rate in free run, measured over the first frames (which
// arrive before PLAYING and would be dropped as stale anyway). 0 on failure,
// with an error posted, or when unlocked.
double MeasureRate(GstVeltCamSrc* self, gsize frameSize) {
    CSrcState& s = *self->state;
    std::vector<guint8> scratch(frameSize);
    int exposureMs = 0;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        int ok = 0;
        exposureMs = VeltCam_GetExposureTime(s.handle, &ok) / 10;
        TakeError(s.handle);
    }
    const int timeoutMs =
        s.requested.timeoutMs >= 0 ? s.requested.timeoutMs : kStartTimeoutMs + 4 * exposureMs;
    // The first frame comes early (the camera starts its first exposure at once):
    // the intervals are counted from the second one, and their median is taken,
    // so that one transfer delayed by a busy machine does not set the rate.
    std::vector<double> intervals;
    VeltCamExFrameInfo previous{};
    bool havePrevious = false;
    while (intervals.size() < static_cast<size_t>(kRateIntervals)) {
        VeltCamExFrameInfo info{};
        int code = 0;
        const WaitResult result =
            WaitForFrame(s, scratch.data(), scratch.size(), timeoutMs, &info, &code);
        if (result == WaitResult::Flushing) return 0;
        if (result != WaitResult::Frame) {
            PostReadError(self, result, code, timeoutMs);
            return 0;
        }
        GST_DEBUG_OBJECT(self, "rate probe: frame %" G_GUINT64_FORMAT " at %" G_GUINT64_FORMAT,
                         static_cast<guint64>(info.frameNumber),
                         static_cast<guint64>(info.timestampNs));
        if (info.frameNumber == 0) continue;
        if (havePrevious && info.frameNumber > previous.frameNumber &&
            info.timestampNs > previous.timestampNs) {
            intervals.push_back(static_cast<double>(info.timestampNs - previous.timestampNs) /
                                static_cast<double>(info.frameNumber - previous.frameNumber));
        }
        previous = info;
        havePrevious = true;
    }
    std::sort(intervals.begin(), intervals.end());
    const double rate = 1e9 / intervals[intervals.size() / 2];
    // A rate within 2 % of a whole number is that number (a timing set in whole
    // frames per second); otherwise hundredths, the measurement's precision.
    const double whole = std::round(rate);
    return whole > 0 && std::fabs(rate - whole) < 0.02 * rate ? whole
                                                              : std::round(rate * 100) / 100;
}

gboolean Negotiate(GstBaseSrc* base) {
    GstVeltCamSrc* self = GST_VELTCAM_SRC(base);
    CSrcState& s = *self->state;
    GstCaps* ours = GetCaps(base, nullptr);
    GstCaps* peer = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), ours);
    // Our order of preference among what the peer accepts.
    GstCaps* caps = gst_caps_intersect_full(ours, peer, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(ours);
    gst_caps_unref(peer);
    if (gst_caps_is_empty(caps)) {
        gst_caps_unref(caps);
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("The camera's formats and sizes are not accepted downstream."),
                          ("offsets and half readout limit the window"));
        return FALSE;
    }
    caps = gst_caps_truncate(caps);
    caps = gst_caps_make_writable(caps);
    GstStructure* st = gst_caps_get_structure(caps, 0);
    int maxWidth = 0, maxHeight = 0;
    bool trigger = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        MaxSize(s.requested, &maxWidth, &maxHeight);
        trigger = s.requested.trigger;
    }
    // Unconstrained, the whole window the offsets leave.
    gst_structure_fixate_field_nearest_int(st, "width", maxWidth);
    gst_structure_fixate_field_nearest_int(st, "height", maxHeight);
    gst_structure_fixate_field(st, "format");
    GstVideoFormat format = gst_video_format_from_string(gst_structure_get_string(st, "format"));
    int width = 0, height = 0;
    gst_structure_get_int(st, "width", &width);
    gst_structure_get_int(st, "height", &height);
    const Geometry g{BitsOf(format), width, height};
    // A rate fixed downstream is kept by leaving frames out: the camera's own timing
    // setting does not count in frames per second, and the capture window it
    // programs at the start would reset it anyway.
    int fpsN = 0, fpsD = 1;
    const GValue* framerate = gst_structure_get_value(st, "framerate");
    if (!trigger && framerate != nullptr && GST_VALUE_HOLDS_FRACTION(framerate)) {
        fpsN = gst_value_get_fraction_numerator(framerate);
        fpsD = gst_value_get_fraction_denominator(framerate);
    }
    if (g.bits == 0 || !StartAcquisition(self, g)) {
        gst_caps_unref(caps);
        return FALSE;
    }
    GstVideoInfo info;
    gst_video_info_set_format(&info, format, width, height);
    GstClockTime period = GST_CLOCK_TIME_NONE;
    bool limitRate = false;
    GstClockTime cameraPeriod = GST_CLOCK_TIME_NONE;
    if (trigger) {
        gst_structure_fixate_field_nearest_fraction(st, "framerate", 0, 1);
    } else {
        const double rate = MeasureRate(self, info.size);
        if (rate <= 0) {
            gst_caps_unref(caps);
            return FALSE;
        }
        GST_INFO_OBJECT(self, "camera runs at %.3f frames per second", rate);
        cameraPeriod = static_cast<GstClockTime>(1e9 / rate);
        if (fpsN > 0 && fpsD > 0) {
            const double asked = static_cast<double>(fpsN) / fpsD;
            // Within the measurement's spread of the camera's rate, every frame is
            // delivered; a camera slower than asked delivers every frame it has and
            // says so (its timing is the application's to change).
            if (asked > rate * kRateTolerance) {
                GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                                    ("The camera runs at %.2f frames per second, slower than "
                                     "the %d/%d fixed downstream.",
                                     rate, fpsN, fpsD),
                                    (nullptr));
            }
            limitRate = asked * kRateTolerance < rate;
        } else {
            const int n = static_cast<int>(std::lround(rate * 100));
            gst_structure_fixate_field_nearest_fraction(st, "framerate", n, 100);
            gst_structure_get_fraction(st, "framerate", &fpsN, &fpsD);
        }
        if (fpsN > 0) period = gst_util_uint64_scale_int(GST_SECOND, fpsD, fpsN);
        // The frames the measurement took were not lost to the application.
        s.haveLast = false;
    }
    caps = gst_caps_fixate(caps);
    s.period = period;
    s.limitRate = limitRate;
    s.cameraPeriod = cameraPeriod;
    s.nextDueNs = 0;
    const gboolean done = gst_base_src_set_caps(base, caps);
    gst_caps_unref(caps);
    return done;
}

gboolean SetCaps(GstBaseSrc* base, GstCaps* caps) {
    CSrcState& s = State(base);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps)) return FALSE;
    const Geometry g{BitsOf(GST_VIDEO_INFO_FORMAT(&info)), GST_VIDEO_INFO_WIDTH(&info),
                     GST_VIDEO_INFO_HEIGHT(&info)};
    // The camera was started for these caps in Negotiate.
    if (!s.acquiring || !(s.running == g)) return FALSE;
    // The camera's rows are padded to 4 bytes, as GStreamer's default strides.
    if (s.pool != nullptr) {
        gst_buffer_pool_set_active(s.pool, FALSE);
        gst_object_unref(s.pool);
    }
    s.pool = gst_video_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(s.pool);
    gst_buffer_pool_config_set_params(config, caps, static_cast<guint>(info.size), 2, 0);
    if (!gst_buffer_pool_set_config(s.pool, config) || !gst_buffer_pool_set_active(s.pool, TRUE)) {
        gst_object_unref(s.pool);
        s.pool = nullptr;
        return FALSE;
    }
    s.info = info;
    s.haveInfo = true;
    s.timeoutMs = AutoTimeoutMs(s);
    return TRUE;
}

gboolean Query(GstBaseSrc* base, GstQuery* query) {
    CSrcState& s = State(base);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        if (!s.haveInfo) return FALSE;
        const bool trigger = s.period == GST_CLOCK_TIME_NONE;
        const GstClockTime min = trigger ? kTriggerLatency : s.period;
        // Frames may wait in the SDK's queue; in trigger mode for any time.
        const GstClockTime max =
            trigger ? GST_CLOCK_TIME_NONE : s.period * std::max(1, s.requested.queueSize);
        gst_query_set_latency(query, TRUE, min, max);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_veltcam_src_parent_class)->query(base, query);
}

gboolean Unlock(GstBaseSrc* base) {
    State(base).unlocking = true;
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* base) {
    State(base).unlocking = false;
    return TRUE;
}

// The running time of a frame's transfer: its age on the monotonic host clock
// (the SDK's timestamps) subtracted from the pipeline clock's now.
GstClockTime RunningTime(GstElement* element, guint64 timestampNs) {
    GstClock* clock = gst_element_get_clock(element);
    if (clock == nullptr) return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const guint64 monotonicNow = static_cast<guint64>(g_get_monotonic_time()) * 1000;
    const guint64 age = monotonicNow > timestampNs ? monotonicNow - timestampNs : 0;
    const GstClockTime base = gst_element_get_base_time(element);
    if (now < base + age) return GST_CLOCK_TIME_NONE;
    return now - age - base;
}

void PostLoss(GstVeltCamSrc* self, CSrcState& s, guint64 lost, GstClockTime pts) {
    s.dropped += lost;
    const GstClockTime duration =
        s.period == GST_CLOCK_TIME_NONE ? GST_CLOCK_TIME_NONE : lost * s.period;
    const GstClockTime lostAt = s.lastPts == GST_CLOCK_TIME_NONE || s.period == GST_CLOCK_TIME_NONE
                                    ? pts
                                    : s.lastPts + s.period;
    GstMessage* message = gst_message_new_qos(GST_OBJECT(self), TRUE, GST_CLOCK_TIME_NONE,
                                              GST_CLOCK_TIME_NONE, lostAt, duration);
    gst_message_set_qos_stats(message, GST_FORMAT_BUFFERS, s.qosProcessed, s.dropped.load());
    gst_element_post_message(GST_ELEMENT(self), message);
}

void FinishWhiteBalanceOnce(CSrcState& s, guint64 frameNumber) {
    if (!s.whiteBalanceOncePending) return;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.whiteBalanceOncePending || static_cast<gint64>(frameNumber) <= s.whiteBalanceOnceAfter) {
        return;
    }
    VeltCam_SetBayerGainAuto(s.handle, 0);
    TakeError(s.handle);
    s.whiteBalanceOncePending = false;
    s.requested.whiteBalance = kWhiteBalanceOff;
}

// The 64-bit mode's fourth sample is unused and 0; as alpha that would make
// every pixel transparent to a compositor, so it becomes full scale.
void MakeOpaque(const GstVideoInfo& info, guint8* data) {
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    for (int y = 0; y < GST_VIDEO_INFO_HEIGHT(&info); ++y) {
        guint8* pixel = data + static_cast<size_t>(y) * stride + 6;
        for (int x = 0; x < width; ++x, pixel += 8) {
            pixel[0] = 0xFF;
            pixel[1] = 0xFF;
        }
    }
}

// Under a rate fixed downstream: whether the frame taken at `timestampNs` is due. A
// frame up to half a camera period early counts as on time, so that a rate that
// divides the camera's keeps every n-th frame; after a pause (a gap of more than a
// period) the schedule starts again from the frame, rather than catching up in a
// burst.
bool DueForDelivery(CSrcState& s, guint64 timestampNs) {
    const guint64 early = s.cameraPeriod / 2;
    if (s.nextDueNs != 0 && timestampNs + early < s.nextDueNs) return false;
    const bool behind = s.nextDueNs == 0 || timestampNs > s.nextDueNs + s.period;
    s.nextDueNs = (behind ? timestampNs : s.nextDueNs) + s.period;
    return true;
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out) {
    GstVeltCamSrc* self = GST_VELTCAM_SRC(push);
    CSrcState& s = *self->state;
    if (!s.haveInfo || s.pool == nullptr) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("No format was negotiated."), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    for (;;) {
        GstBuffer* buffer = nullptr;
        GstFlowReturn flow = gst_buffer_pool_acquire_buffer(s.pool, &buffer, nullptr);
        if (flow != GST_FLOW_OK) return flow;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
            gst_buffer_unref(buffer);
            GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Output buffer not writable."), (nullptr));
            return GST_FLOW_ERROR;
        }
        VeltCamExFrameInfo info{};
        int code = 0;
        const WaitResult result = WaitForFrame(s, map.data, map.size, s.timeoutMs, &info, &code);
        if (result == WaitResult::Frame &&
            GST_VIDEO_INFO_FORMAT(&s.info) == GST_VIDEO_FORMAT_BGRA64_LE) {
            MakeOpaque(s.info, map.data);
        }
        gst_buffer_unmap(buffer, &map);
        if (result != WaitResult::Frame) {
            gst_buffer_unref(buffer);
            if (result == WaitResult::Flushing) return GST_FLOW_FLUSHING;
            PostReadError(self, result, code, s.timeoutMs);
            return GST_FLOW_ERROR;
        }
        FinishWhiteBalanceOnce(s, info.frameNumber);
        const GstClockTime pts = RunningTime(GST_ELEMENT(self), info.timestampNs);
        // Frames taken before PLAYING (or while paused) have no running time of
        // their own: they are stale, not lost, and are skipped.
        if (pts == GST_CLOCK_TIME_NONE || (s.lastPts != GST_CLOCK_TIME_NONE && pts <= s.lastPts)) {
            s.haveLast = true;
            s.lastFrame = info.frameNumber;
            gst_buffer_unref(buffer);
            continue;
        }
        // Frames the ring or the queue lost leave gaps in the numbers; frames the
        // transfer lost never got one, but the camera counted them.
        const guint64 skipped = s.haveLast && info.frameNumber > s.lastFrame + 1
                                    ? info.frameNumber - s.lastFrame - 1
                                    : 0;
        const guint64 lostInTransfer = s.haveLast ? info.lostInTransfer : 0;
        s.lostInTransfer += lostInTransfer;
        if (skipped + lostInTransfer > 0) PostLoss(self, s, skipped + lostInTransfer, pts);
        if (s.limitRate && !DueForDelivery(s, info.timestampNs)) {
            // Left out for the rate asked downstream: neither lost nor delivered.
            s.lastFrame = info.frameNumber;
            gst_buffer_unref(buffer);
            continue;
        }
        GST_BUFFER_PTS(buffer) = pts;
        GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
        GST_BUFFER_DURATION(buffer) = s.period;
        GST_BUFFER_OFFSET(buffer) = info.frameNumber;
        GST_BUFFER_OFFSET_END(buffer) = info.frameNumber + 1;
        s.haveLast = true;
        s.lastFrame = info.frameNumber;
        s.lastPts = pts;
        ++s.qosProcessed;
        ++s.delivered;
        *out = buffer;
        return GST_FLOW_OK;
    }
}

void Finalize(GObject* object) {
    GstVeltCamSrc* self = GST_VELTCAM_SRC(object);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(gst_veltcam_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_veltcam_src_init(GstVeltCamSrc* self) {
    self->state = new CSrcState();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), FALSE);
}

static void gst_veltcam_src_class_init(GstVeltCamSrcClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* push = GST_PUSH_SRC_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(veltcam_src_debug, "veltcamsrc", 0, "VeltCam camera source");

    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;

    const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    const auto ready = static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_READY);
    const auto playing = static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object, PROP_DEVICE_INDEX,
        g_param_spec_int("device-index", "Device index",
                         "Device number of the camera (-1: the only or first camera)", -1, 31, -1,
                         ready));
    g_object_class_install_property(
        object, PROP_DEVICE_NAME,
        g_param_spec_string("device-name", "Device name",
                            "Name of the camera to open (as listed by the SDK); read back: the "
                            "opened camera's name",
                            nullptr, ready));
    g_object_class_install_property(
        object, PROP_EXPOSURE,
        g_param_spec_double("exposure", "Exposure",
                            "Exposure time in microseconds, rounded to the camera's 0.1 ms unit",
                            100.0, 2000000.0, 17000.0, playing));
    g_object_class_install_property(
        object, PROP_GAIN,
        g_param_spec_int("gain", "Gain", "Sensor gain in camera steps", 0, 480, 64, playing));
    g_object_class_install_property(
        object, PROP_AUTO_EXPOSURE,
        g_param_spec_enum("auto-exposure", "Automatic exposure",
                          "Which setting the automatic exposure loop adjusts", AutoExposureType(),
                          VELTCAM_AUTO_IRIS_OFF, playing));
    g_object_class_install_property(
        object, PROP_WHITE_BALANCE,
        g_param_spec_enum("white-balance", "White balance",
                          "Automatic white balance of the colour formats (once: on one frame, "
                          "then off with the gains kept)",
                          WhiteBalanceType(), kWhiteBalanceOff, playing));
    for (const ToneSetting& t : kTones) {
        g_object_class_install_property(
            object, t.property,
            g_param_spec_int(t.name, t.name, t.blurb, t.min, t.max, t.neutral, playing));
    }
    g_object_class_install_property(
        object, PROP_OFFSET_X,
        g_param_spec_int("offset-x", "Offset X",
                         "Left edge of the capture window on the sensor, in sensor pixels (even)",
                         0, VELTCAM_MAX_WIDTH - 32, 0, ready));
    g_object_class_install_property(
        object, PROP_OFFSET_Y,
        g_param_spec_int("offset-y", "Offset Y",
                         "Top edge of the capture window on the sensor, in sensor rows (even)", 0,
                         VELTCAM_MAX_HEIGHT - 8, 0, ready));
    g_object_class_install_property(
        object, PROP_HALF_READOUT,
        g_param_spec_boolean("half-readout", "Half readout",
                             "Read the sensor at half resolution (half the window's size)", FALSE,
                             ready));
    g_object_class_install_property(
        object, PROP_FLIP_HORIZONTAL,
        g_param_spec_boolean("flip-horizontal", "Flip horizontally", "Mirror the image left-right",
                             FALSE, ready));
    g_object_class_install_property(
        object, PROP_FLIP_VERTICAL,
        g_param_spec_boolean("flip-vertical", "Flip vertically", "Mirror the image top-bottom",
                             FALSE, ready));
    g_object_class_install_property(
        object, PROP_TRIGGER,
        g_param_spec_boolean("trigger", "Hardware trigger",
                             "One frame per hardware trigger instead of free run (frame rate 0/1)",
                             FALSE, ready));
    g_object_class_install_property(
        object, PROP_TIMEOUT_MS,
        g_param_spec_int("timeout-ms", "Time-out",
                         "Longest wait for a frame before a read error, in ms (-1: several frame "
                         "periods in free run, no limit in trigger mode)",
                         -1, G_MAXINT, -1, rw));
    g_object_class_install_property(
        object, PROP_QUEUE_SIZE,
        g_param_spec_int("queue-size", "Queue size",
                         "Frames the SDK keeps for a late consumer; older ones are dropped", 1,
                         VELTCAM_EX_MAX_QUEUE_DEPTH, 4, ready));
    g_object_class_install_property(
        object, PROP_PIPELINE_THREADS,
        g_param_spec_int("pipeline-threads", "Pipeline threads",
                         "Threads that convert each frame (0: the library's default, the "
                         "VELTCAM_PIPELINE_THREADS environment variable or the processor count)",
                         0, VELTCAM_EX_MAX_PIPELINE_THREADS, 0, rw));
    g_object_class_install_property(
        object, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "Frames delivered and dropped by the element (of those, lost in "
                           "transfer), transfers the camera rejected, times the transfer gave up",
                           GST_TYPE_STRUCTURE,
                           static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    guint count = 0;
    GParamSpec** specs = g_object_class_list_properties(object, &count);
    for (guint i = 0; i < count; ++i) {
        if (specs[i]->owner_type == GST_TYPE_VELTCAM_SRC && specs[i]->param_id <= PROP_STATS) {
            gSpecs[specs[i]->param_id] = specs[i];
        }
    }
    g_free(specs);

    gst_element_class_set_static_metadata(
        element, "VeltCam camera source", "Source/Video/Hardware",
        "Frames of a VeltCam M40 USB 3.0 camera (or its simulator)", "VeltCam SDK developers");
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_type_mark_as_plugin_api(AutoExposureType(), static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(WhiteBalanceType(), static_cast<GstPluginAPIFlags>(0));

    base->start = Start;
    base->stop = Stop;
    base->get_caps = GetCaps;
    base->negotiate = Negotiate;
    base->set_caps = SetCaps;
    base->query = Query;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    push->create = Create;
}
