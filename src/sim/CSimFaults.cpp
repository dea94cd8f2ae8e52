#include "sim/CSimFaults.h"

namespace veltcam::sim {

CSimFaults::CSimFaults(const std::vector<FaultSpec>& faults, uint64_t seed) : seed_(seed) {
    for (const FaultSpec& fault : faults) Add(fault);
}

void CSimFaults::Add(const FaultSpec& fault) {
    Entry entry;
    entry.rule = fault;
    // Each entry draws from its own sequence, so adding a fault does not change when
    // the others hit.
    entry.random.seed(seed_ * 0x9E3779B97F4A7C15ull + entries_.size() + 1);
    entries_.push_back(entry);
}

void CSimFaults::Clear() { entries_.clear(); }

const FaultSpec* CSimFaults::Hit(FaultKind kind, int camera, uint32_t argument, int reg) {
    const FaultSpec* hit = nullptr;
    for (Entry& entry : entries_) {
        const FaultSpec& rule = entry.rule;
        if (rule.kind != kind) continue;
        if (rule.camera >= 0 && rule.camera != camera) continue;
        if (kind == FaultKind::I2cRefuse || kind == FaultKind::I2cNak) {
            if (rule.argument != (argument & 0xFE)) continue;
            if (rule.reg >= 0 && rule.reg != reg) continue;
        }
        if (kind == FaultKind::ShortReply && rule.argument != argument) continue;
        if (kind == FaultKind::LateControl && rule.argument != 0 && rule.argument != argument) {
            continue;
        }
        ++entry.count;
        bool fires;
        if (rule.probability >= 0.0) {
            fires =
                std::uniform_real_distribution<double>(0.0, 1.0)(entry.random) < rule.probability;
        } else {
            fires = entry.count >= rule.first && entry.count <= rule.last;
        }
        if (fires && hit == nullptr) hit = &rule;
    }
    return hit;
}

}  // namespace veltcam::sim
