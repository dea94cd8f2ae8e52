// The camera core as this SDK creates it for its one camera model.
#pragma once

#include "core/CVeltCamD3A7Base.h"

namespace veltcam {

class CVeltCamUSB3R7SimpleSdk final : public CVeltCamD3A7Base {
  public:
    CVeltCamUSB3R7SimpleSdk() = default;
    ~CVeltCamUSB3R7SimpleSdk() override = default;
};

}  // namespace veltcam
