#include "imaging/PixelOp.h"

#include <algorithm>

namespace veltcam {

int ApplyPixelOp(DibImage& dst, PixelKernel kernel, const DibImage& src, const PixelRect* rect,
                 int dstX, int dstY, const void* params) {
    if (!dst.IsValid() || !src.IsValid()) return 0;
    PixelRect r = rect != nullptr ? *rect : PixelRect{0, 0, src.Width(), src.Height()};

    // Inside the source.
    if (r.left < 0) {
        dstX -= r.left;
        r.left = 0;
    }
    if (r.top < 0) {
        dstY -= r.top;
        r.top = 0;
    }
    r.right = std::min(r.right, src.Width());
    r.bottom = std::min(r.bottom, src.Height());

    // Its image at the destination origin inside the destination.
    if (dstX < 0) {
        r.left -= dstX;
        dstX = 0;
    }
    if (dstY < 0) {
        r.top -= dstY;
        dstY = 0;
    }
    r.right = std::min(r.right, r.left + (dst.Width() - dstX));
    r.bottom = std::min(r.bottom, r.top + (dst.Height() - dstY));

    if (r.right <= r.left || r.bottom <= r.top) return 0;
    if (kernel == nullptr) return 0;

    PixelOpArgs args;
    args.dst = dst.Pixels();
    args.src = src.Pixels();
    args.rect = r;
    args.dstX = dstX;
    args.dstY = dstY;
    args.dstBytesPerPixel = dst.Bits() / 8;
    args.srcBytesPerPixel = src.Bits() / 8;
    args.dstPitch = dst.RowBytes();
    args.srcPitch = src.RowBytes();
    args.params = params;
    return kernel(args);
}

}  // namespace veltcam
