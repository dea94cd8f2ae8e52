// The setting-ID interface and its named wrappers: each named getter is
// VeltCam_GetFilterValue with its ID fixed, each setter VeltCam_SetFilterValue.
#include "VeltCamSdk.h"
#include "api/ExportFrame.h"

using veltcam::CallObject;
using veltcam::CVeltCam;

extern "C" {

int VELTCAM_CALL VeltCam_GetFilterValue(VeltCamHandle handle, int id, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.GetFilterValue(id, ok); });
}

int VELTCAM_CALL VeltCam_SetFilterValue(VeltCamHandle handle, int id, int value) {
    return CallObject(handle, 0, [=](CVeltCam& cam) { return cam.SetFilterValue(id, value); });
}

#define VELTCAM_SETTING_WRAPPERS(Name, id)                                      \
    int VELTCAM_CALL VeltCam_Get##Name(VeltCamHandle handle, int* ok) {         \
        return VeltCam_GetFilterValue(handle, id, ok);                          \
    }                                                                           \
    int VELTCAM_CALL VeltCam_Set##Name(VeltCamHandle handle, int value) {       \
        return VeltCam_SetFilterValue(handle, id, value);                       \
    }

VELTCAM_SETTING_WRAPPERS(Brightness, VELTCAM_ID_BRIGHTNESS)
VELTCAM_SETTING_WRAPPERS(Contrast, VELTCAM_ID_CONTRAST)
VELTCAM_SETTING_WRAPPERS(Hue, VELTCAM_ID_HUE)
VELTCAM_SETTING_WRAPPERS(Saturation, VELTCAM_ID_SATURATION)
VELTCAM_SETTING_WRAPPERS(Sharpness, VELTCAM_ID_SHARPNESS)
VELTCAM_SETTING_WRAPPERS(BayerGainRGB, VELTCAM_ID_BAYER_GAIN_RGB)
VELTCAM_SETTING_WRAPPERS(BayerGainRed, VELTCAM_ID_BAYER_GAIN_RED)
VELTCAM_SETTING_WRAPPERS(BayerGainGreen, VELTCAM_ID_BAYER_GAIN_GREEN)
VELTCAM_SETTING_WRAPPERS(BayerGainBlue, VELTCAM_ID_BAYER_GAIN_BLUE)
VELTCAM_SETTING_WRAPPERS(BayerGainAuto, VELTCAM_ID_BAYER_GAIN_AUTO)
VELTCAM_SETTING_WRAPPERS(Gamma, VELTCAM_ID_GAMMA)
VELTCAM_SETTING_WRAPPERS(BayerMode, VELTCAM_ID_BAYER_MODE)
VELTCAM_SETTING_WRAPPERS(GlobalGain, VELTCAM_ID_GLOBAL_GAIN)
VELTCAM_SETTING_WRAPPERS(ColorGainRed, VELTCAM_ID_COLOR_GAIN_RED)
VELTCAM_SETTING_WRAPPERS(ColorGainGreen1, VELTCAM_ID_COLOR_GAIN_GREEN1)
VELTCAM_SETTING_WRAPPERS(ColorGainGreen2, VELTCAM_ID_COLOR_GAIN_GREEN2)
VELTCAM_SETTING_WRAPPERS(ColorGainBlue, VELTCAM_ID_COLOR_GAIN_BLUE)
VELTCAM_SETTING_WRAPPERS(ExposureTime, VELTCAM_ID_EXPOSURE_TIME)
VELTCAM_SETTING_WRAPPERS(GrayMode, VELTCAM_ID_GRAY_MODE)
VELTCAM_SETTING_WRAPPERS(GrayGainR, VELTCAM_ID_GRAY_GAIN_R)
VELTCAM_SETTING_WRAPPERS(GrayGainG1, VELTCAM_ID_GRAY_GAIN_G1)
VELTCAM_SETTING_WRAPPERS(GrayGainG2, VELTCAM_ID_GRAY_GAIN_G2)
VELTCAM_SETTING_WRAPPERS(GrayGainB, VELTCAM_ID_GRAY_GAIN_B)
VELTCAM_SETTING_WRAPPERS(GrayOffsetR, VELTCAM_ID_GRAY_OFFSET_R)
VELTCAM_SETTING_WRAPPERS(GrayOffsetG1, VELTCAM_ID_GRAY_OFFSET_G1)
VELTCAM_SETTING_WRAPPERS(GrayOffsetG2, VELTCAM_ID_GRAY_OFFSET_G2)
VELTCAM_SETTING_WRAPPERS(GrayOffsetB, VELTCAM_ID_GRAY_OFFSET_B)
VELTCAM_SETTING_WRAPPERS(Peltier, VELTCAM_ID_PELTIER)
VELTCAM_SETTING_WRAPPERS(DotFilter, VELTCAM_ID_DOT_FILTER)
VELTCAM_SETTING_WRAPPERS(MaskFilter, VELTCAM_ID_MASK_FILTER)

#undef VELTCAM_SETTING_WRAPPERS

int VELTCAM_CALL VeltCam_GetTemperature(VeltCamHandle handle, int* ok) {
    return VeltCam_GetFilterValue(handle, VELTCAM_ID_TEMPERATURE, ok);
}

// Channels 1..4 map onto setting IDs that this camera does not serve (so the
// setting-ID interface refuses them); other channel numbers are not settings at all.
static int ChannelId(int first, int channel) {
    return channel >= 1 && channel <= 4 ? first + channel - 1 : 0;
}

// A channel outside 1..4 fails too: `ok` says so (for a known handle only, as with
// every output argument), though no error code is recorded.
static int NoChannel(VeltCamHandle handle, int* ok) {
    return CallObject(handle, 0, [=](CVeltCam&) {
        if (ok != nullptr) *ok = 0;
        return 0;
    });
}

int VELTCAM_CALL VeltCam_GetChannelGain(VeltCamHandle handle, int channel, int* ok) {
    int id = ChannelId(VELTCAM_ID_CHANNEL_GAIN1, channel);
    return id != 0 ? VeltCam_GetFilterValue(handle, id, ok) : NoChannel(handle, ok);
}

int VELTCAM_CALL VeltCam_SetChannelGain(VeltCamHandle handle, int channel, int value) {
    int id = ChannelId(VELTCAM_ID_CHANNEL_GAIN1, channel);
    return id != 0 ? VeltCam_SetFilterValue(handle, id, value) : 0;
}

int VELTCAM_CALL VeltCam_GetChannelOffset(VeltCamHandle handle, int channel, int* ok) {
    int id = ChannelId(VELTCAM_ID_CHANNEL_OFFSET1, channel);
    return id != 0 ? VeltCam_GetFilterValue(handle, id, ok) : NoChannel(handle, ok);
}

int VELTCAM_CALL VeltCam_SetChannelOffset(VeltCamHandle handle, int channel, int value) {
    int id = ChannelId(VELTCAM_ID_CHANNEL_OFFSET1, channel);
    return id != 0 ? VeltCam_SetFilterValue(handle, id, value) : 0;
}

}  // extern "C"
