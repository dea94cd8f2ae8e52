// The simulator's options string comes from the environment: anything is either
// accepted with every value inside its documented range, or refused with a
// one-line message. Parsing is a pure function of the text, so a second parse
// gives the same record.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/SimOptions.h"

namespace {

using veltcam::sim::FaultKind;
using veltcam::sim::FaultSpec;
using veltcam::sim::SimOptions;

void Require(bool condition) {
    if (!condition) std::abort();
}

bool TableNameValid(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    return true;
}

void CheckFault(const FaultSpec& f) {
    // -1: no probability schedule; otherwise an occurrence range counted from 1.
    Require(f.probability == -1.0 || (f.probability >= 0 && f.probability <= 1));
    Require(f.first >= 1 && f.last >= f.first);
    Require(f.camera >= -1 && f.camera <= 1000);
    switch (f.kind) {
        case FaultKind::Status: Require(f.argument != 0); break;
        case FaultKind::I2cRefuse:
        case FaultKind::I2cNak:
            Require(f.argument <= 0xFE && (f.argument & 1) == 0);  // write form of the address
            Require(f.reg >= -1 && f.reg <= 0xFFFF);
            break;
        case FaultKind::ShortReply:
        case FaultKind::LateControl: Require(f.argument <= 0xFF); break;
        case FaultKind::Late: Require(f.argument >= 1 && f.argument <= 1000); break;
        case FaultKind::PayloadLength: Require(f.argument <= 64u * 1024 * 1024); break;
        case FaultKind::Unplug: Require(f.argument <= 3600000); break;
        default: Require(f.argument == 0); break;
    }
    if (f.kind != FaultKind::I2cRefuse && f.kind != FaultKind::I2cNak) Require(f.reg == -1);
}

void CheckRanges(const SimOptions& o) {
    Require(o.cameras >= 0 && o.cameras <= 16);
    Require(o.otherProducts.size() <= 16);
    Require(o.fpsMax ? o.fps == 0 : (o.fps == 0 || (std::isfinite(o.fps) && o.fps >= 0.001 &&
                                                      o.fps <= 10000)));
    Require(o.serial.size() <= 31);
    Require(o.triggerPeriodMs <= 3600000);
    Require(TableNameValid(o.table));
    Require(o.abortDelayMs <= 60000);
    Require(o.eepromWriteCycleMs <= 1000);
    Require(o.noise >= 0 && o.noise <= 4095);
    Require(o.hotPixels >= 0 && o.hotPixels <= 100000);
    Require(o.deadPixels >= 0 && o.deadPixels <= 100000);
    Require(o.vignette >= 0 && o.vignette <= 100);
    for (const FaultSpec& f : o.faults) CheckFault(f);
}

bool SameFault(const FaultSpec& a, const FaultSpec& b) {
    return a.kind == b.kind && a.argument == b.argument && a.reg == b.reg && a.first == b.first &&
           a.last == b.last && a.probability == b.probability && a.camera == b.camera;
}

bool SameOptions(const SimOptions& a, const SimOptions& b) {
    if (a.faults.size() != b.faults.size()) return false;
    for (size_t i = 0; i < a.faults.size(); ++i) {
        if (!SameFault(a.faults[i], b.faults[i])) return false;
    }
    return a.cameras == b.cameras && a.otherProducts == b.otherProducts &&
           a.vendorId == b.vendorId && a.fpsMax == b.fpsMax && a.fps == b.fps &&
           a.seed == b.seed && a.firmware == b.firmware && a.gpio25 == b.gpio25 &&
           a.fpgaVersion == b.fpgaVersion && a.serial == b.serial &&
           a.triggerPeriodMs == b.triggerPeriodMs && a.table == b.table &&
           a.virtualClock == b.virtualClock && a.instantStalls == b.instantStalls &&
           a.inlineCompletion == b.inlineCompletion && a.abortDelayMs == b.abortDelayMs &&
           a.eepromWriteCycleMs == b.eepromWriteCycleMs && a.busSpeed == b.busSpeed &&
           a.noise == b.noise && a.hotPixels == b.hotPixels && a.deadPixels == b.deadPixels &&
           a.vignette == b.vignette && a.record == b.record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SimOptions options;
    std::string error;
    const bool accepted = veltcam::sim::ParseSimOptions(text, &options, &error);

    SimOptions again;
    std::string errorAgain;
    Require(veltcam::sim::ParseSimOptions(text, &again, &errorAgain) == accepted);
    if (!accepted) {
        // A refusal names its reason on one line, unless the input itself put a
        // line break into the part it quotes.
        Require(!error.empty() && error == errorAgain);
        Require(error.find('\n') == std::string::npos || text.find('\n') != std::string::npos);
        return 0;
    }
    CheckRanges(options);
    Require(SameOptions(options, again));
    return 0;
}
