// The plugin: registers veltcamsrc. It links the camera SDK's shared library,
// which does nothing when loaded, so the registry scan stays cheap and safe.
#include <gst/gst.h>

#include "GstVeltCamSrc.h"

namespace {

gboolean PluginInit(GstPlugin* plugin) {
    return gst_element_register(plugin, "veltcamsrc", GST_RANK_NONE, GST_TYPE_VELTCAM_SRC);
}

}  // namespace

// The plugin description names its source package.
#define PACKAGE "veltcam-sdk"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, veltcam,
                  "VeltCam USB 3.0 industrial camera source", PluginInit, VELTCAM_PLUGIN_VERSION,
                  "Proprietary", "VeltCam SDK", "VeltCam SDK sources")
