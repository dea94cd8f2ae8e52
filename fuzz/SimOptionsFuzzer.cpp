// The simulator's options string comes from the environment: anything is either
// accepted with values inside their documented ranges, or refused with a one-line
// message.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/SimOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    veltcam::sim::SimOptions options;
    std::string error;
    if (!veltcam::sim::ParseSimOptions(text, &options, &error)) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            // A refusal names its reason on one line, unless the input itself put a
            // line break into the part it quotes.
            if (error.empty() || text.find('\n') == std::string::npos) std::abort();
        }
        return 0;
    }
    if (options.cameras < 0 || options.cameras > 16) std::abort();
    if (!options.fpsMax && options.fps != 0 &&
        (!std::isfinite(options.fps) || options.fps < 0.001 || options.fps > 10000)) {
        std::abort();
    }
    for (const auto& fault : options.faults) {
        // -1: no probability schedule.
        const double p = fault.probability;
        if (p != -1.0 && !(p >= 0 && p <= 1)) std::abort();
    }
    return 0;
}
