// veltcamsrc: the camera as a live GStreamer source. Frames are pulled from the
// SDK's frame queue straight into the element's own output buffers (one copy, no
// SDK memory travels downstream), timestamped from the transfer's host time and
// numbered with the SDK's frame number, so that lost frames show as gaps.
#pragma once

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_VELTCAM_SRC (gst_veltcam_src_get_type())
G_DECLARE_FINAL_TYPE(GstVeltCamSrc, gst_veltcam_src, GST, VELTCAM_SRC, GstPushSrc)

G_END_DECLS
