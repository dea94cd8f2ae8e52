// Scripted and seeded faults: each entry counts the events of its kind and says
// which of them go wrong.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "sim/SimOptions.h"

namespace veltcam::sim {

class CSimFaults {
  public:
    CSimFaults(const std::vector<FaultSpec>& faults, uint64_t seed);

    void Add(const FaultSpec& fault);
    void Clear();

    // Counts one event of `kind` on `camera` for every entry it matches (`argument`
    // and `reg` as in FaultSpec) and returns the first entry that hits it, else null.
    const FaultSpec* Hit(FaultKind kind, int camera, uint32_t argument = 0, int reg = -1);

  private:
    struct Entry {
        FaultSpec rule;
        uint64_t count = 0;
        std::mt19937_64 random;
    };
    std::vector<Entry> entries_;
    uint64_t seed_;
};

}  // namespace veltcam::sim
