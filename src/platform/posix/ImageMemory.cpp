#include "platform/ImageMemory.h"

namespace veltcam::platform {

// No window-system surfaces on Linux yet: images fall back to heap memory and
// there is nothing to blit to.
bool CreateDibSurface(const BitmapInfo&, void*, DibSurface&) { return false; }
void ReleaseDibSurface(DibSurface& surface) { surface = DibSurface{}; }
void SetSurfaceColorTable(void*, int, int, const RgbQuad*) {}
bool BlitSurface(void*, int, int, int, int, void*, int, int) { return false; }

}  // namespace veltcam::platform
