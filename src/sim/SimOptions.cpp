#include "sim/SimOptions.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace veltcam::sim {
namespace {

// Frame rates a number may ask for: one frame in 1000 s up to 10000 a second.
constexpr double kMinFps = 0.001;
constexpr double kMaxFps = 10000;

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + 1;
    }
    return parts;
}

// Decimal, or hexadecimal with 0x.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

bool ParseHexId(const std::string& text, uint16_t* value) {
    if (text.empty() || text.size() > 4) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 +
            static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *value = static_cast<uint16_t>(v);
    return true;
}

// A finite number only: "nan" and "inf" parse, but compare false with every bound
// and would slip past a range check.
bool ParseDouble(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool ParseFlag(const std::string& text, bool* value) {
    if (text == "1" || text == "on" || text == "yes") {
        *value = true;
    } else if (text == "0" || text == "off" || text == "no") {
        *value = false;
    } else {
        return false;
    }
    return true;
}

struct KindName {
    const char* name;
    FaultKind kind;
};
constexpr KindName kKinds[] = {
    {"header-timeout", FaultKind::HeaderTimeout},
    {"payload-stall", FaultKind::PayloadStall},
    {"status", FaultKind::Status},
    {"short", FaultKind::ShortRead},
    {"i2c-refuse", FaultKind::I2cRefuse},
    {"short-reply", FaultKind::ShortReply},
    {"ready-stuck", FaultKind::ReadyStuck},
    {"fpga-busy", FaultKind::FpgaBusy},
    {"sensor-busy", FaultKind::SensorBusy},
    {"sensor-if-down", FaultKind::SensorIfDown},
    {"unplug", FaultKind::Unplug},
    {"i2c-nak", FaultKind::I2cNak},
    {"late", FaultKind::Late},
    {"late-control", FaultKind::LateControl},
    {"payload-length", FaultKind::PayloadLength},
};

}  // namespace

bool ParseFault(const std::string& entry, FaultSpec* fault, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "fault '" + entry + "': " + why;
        return false;
    };
    std::string text = Trim(entry);
    FaultSpec f;
    // KIND[:ARG][@SCHEDULE][#CAMERA]
    size_t hash = text.find('#');
    if (hash != std::string::npos) {
        uint64_t camera = 0;
        if (!ParseUnsigned(text.substr(hash + 1), 1000, &camera)) return fail("bad camera index");
        f.camera = static_cast<int>(camera);
        text = text.substr(0, hash);
    }
    size_t at = text.find('@');
    if (at != std::string::npos) {
        std::string schedule = text.substr(at + 1);
        text = text.substr(0, at);
        if (!schedule.empty() && schedule[0] == 'p') {
            double p = 0;
            if (!ParseDouble(schedule.substr(1), &p) || p < 0.0 || p > 1.0) {
                return fail("probability must be 0..1");
            }
            f.probability = p;
        } else {
            size_t dash = schedule.find('-');
            uint64_t first = 0, last = 0;
            const uint64_t kMax = std::numeric_limits<uint64_t>::max();
            if (dash == std::string::npos) {
                if (!ParseUnsigned(schedule, kMax, &first) || first == 0)
                    return fail("bad occurrence");
                last = first;
            } else {
                if (!ParseUnsigned(schedule.substr(0, dash), kMax, &first) || first == 0) {
                    return fail("bad first occurrence");
                }
                std::string tail = schedule.substr(dash + 1);
                if (tail.empty()) {
                    last = kMax;
                } else if (!ParseUnsigned(tail, kMax, &last) || last < first) {
                    return fail("bad last occurrence");
                }
            }
            f.first = first;
            f.last = last;
        }
    }
    std::string argument;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        argument = text.substr(colon + 1);
        text = text.substr(0, colon);
    }
    bool known = false;
    for (const KindName& k : kKinds) {
        if (text == k.name) {
            f.kind = k.kind;
            known = true;
        }
    }
    if (!known) return fail("unknown fault kind");

    uint64_t value = 0;
    switch (f.kind) {
        case FaultKind::Status:
            f.argument = 0xC0000001u;
            if (!argument.empty()) {
                if (!ParseUnsigned(argument, 0xFFFFFFFFu, &value) || value == 0) {
                    return fail("status word must be nonzero");
                }
                f.argument = static_cast<uint32_t>(value);
            }
            break;
        case FaultKind::I2cRefuse:
        case FaultKind::I2cNak: {
            size_t dot = argument.find('.');
            std::string device = argument.substr(0, dot);
            if (!ParseUnsigned(device, 0xFF, &value)) return fail("needs an I2C device address");
            f.argument = static_cast<uint32_t>(value) & 0xFE;
            if (dot != std::string::npos) {
                uint64_t reg = 0;
                if (!ParseUnsigned(argument.substr(dot + 1), 0xFFFF, &reg))
                    return fail("bad register");
                f.reg = static_cast<int>(reg);
            }
            break;
        }
        case FaultKind::ShortReply:
            if (!ParseUnsigned(argument, 0xFF, &value)) return fail("needs a vendor request code");
            f.argument = static_cast<uint32_t>(value);
            break;
        case FaultKind::Late:
            f.argument = 1;
            if (!argument.empty()) {
                if (!ParseUnsigned(argument, 1000, &value) || value == 0) {
                    return fail("reads before it comes back must be 1..1000");
                }
                f.argument = static_cast<uint32_t>(value);
            }
            break;
        case FaultKind::LateControl:
            if (!argument.empty()) {
                if (!ParseUnsigned(argument, 0xFF, &value)) return fail("bad vendor request code");
                f.argument = static_cast<uint32_t>(value);
            }
            break;
        case FaultKind::PayloadLength:
            if (!ParseUnsigned(argument, 0x4000000, &value)) {
                return fail("needs a payload length up to 64 MiB");
            }
            f.argument = static_cast<uint32_t>(value);
            break;
        case FaultKind::Unplug:
            if (!argument.empty()) {
                if (!ParseUnsigned(argument, 3600000, &value)) return fail("bad replug delay");
                f.argument = static_cast<uint32_t>(value);
            }
            break;
        default:
            if (!argument.empty()) return fail("takes no argument");
            break;
    }
    *fault = f;
    return true;
}

bool ParseSimOptions(const std::string& rawText, SimOptions* options, std::string* error) {
    SimOptions o;
    std::string text = Trim(rawText);
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (text.empty()) return fail("empty simulator options");
    if (text != "1") {
        for (const std::string& rawPair : Split(text, ';')) {
            std::string pair = Trim(rawPair);
            if (pair.empty()) continue;
            size_t eq = pair.find('=');
            if (eq == std::string::npos) return fail("'" + pair + "' is not key=value");
            std::string key = Trim(pair.substr(0, eq));
            std::string value = Trim(pair.substr(eq + 1));
            auto bad = [&]() { return fail("bad value '" + value + "' for " + key); };
            uint64_t n = 0;
            if (key == "cameras") {
                if (!ParseUnsigned(value, 16, &n)) return bad();
                o.cameras = static_cast<int>(n);
            } else if (key == "others") {
                o.otherProducts.clear();
                for (const std::string& id : Split(value, ',')) {
                    uint16_t product = 0;
                    if (!ParseHexId(Trim(id), &product)) return bad();
                    o.otherProducts.push_back(product);
                }
                if (o.otherProducts.size() > 16) return bad();
            } else if (key == "vid") {
                if (!ParseHexId(value, &o.vendorId)) return bad();
            } else if (key == "fps") {
                if (value == "max") {
                    o.fpsMax = true;
                    o.fps = 0;
                } else if (value == "sensor") {
                    o.fpsMax = false;
                    o.fps = 0;
                } else {
                    double fps = 0;
                    // Below kMinFps the frame period no longer fits the clock.
                    if (!ParseDouble(value, &fps) || fps < kMinFps || fps > kMaxFps) return bad();
                    o.fpsMax = false;
                    o.fps = fps;
                }
            } else if (key == "seed") {
                if (!ParseUnsigned(value, std::numeric_limits<uint64_t>::max(), &o.seed))
                    return bad();
            } else if (key == "firmware") {
                if (!ParseUnsigned(value, 0xFFFF, &n)) return bad();
                o.firmware = static_cast<uint16_t>(n);
            } else if (key == "gpio25") {
                if (!ParseUnsigned(value, 0xFF, &n)) return bad();
                o.gpio25 = static_cast<uint8_t>(n);
            } else if (key == "fpga") {
                if (!ParseUnsigned(value, 0xFFFF, &n)) return bad();
                o.fpgaVersion = static_cast<uint16_t>(n);
            } else if (key == "serial") {
                if (value.size() > 31) return bad();
                o.serial = value;
            } else if (key == "trigger") {
                if (!ParseUnsigned(value, 3600000, &n)) return bad();
                o.triggerPeriodMs = static_cast<uint32_t>(n);
            } else if (key == "table") {
                if (value.empty() || value.size() > 64) return bad();
                for (char c : value) {
                    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
                        return bad();
                }
                o.table = value;
            } else if (key == "clock") {
                if (value == "virtual") {
                    o.virtualClock = true;
                } else if (value == "real") {
                    o.virtualClock = false;
                } else {
                    return bad();
                }
            } else if (key == "stalls") {
                if (value == "instant") {
                    o.instantStalls = true;
                } else if (value == "real") {
                    o.instantStalls = false;
                } else {
                    return bad();
                }
            } else if (key == "complete") {
                if (value == "inline") {
                    o.inlineCompletion = true;
                } else if (value == "thread") {
                    o.inlineCompletion = false;
                } else {
                    return bad();
                }
            } else if (key == "abort-delay") {
                if (!ParseUnsigned(value, 60000, &n)) return bad();
                o.abortDelayMs = static_cast<uint32_t>(n);
            } else if (key == "eeprom-cycle") {
                if (!ParseUnsigned(value, 1000, &n)) return bad();
                o.eepromWriteCycleMs = static_cast<uint32_t>(n);
            } else if (key == "speed") {
                if (!ParseUnsigned(value, 0xFFFFFFFFu, &n)) return bad();
                o.busSpeed = static_cast<uint32_t>(n);
            } else if (key == "noise") {
                if (!ParseUnsigned(value, 4095, &n)) return bad();
                o.noise = static_cast<int>(n);
            } else if (key == "hot") {
                if (!ParseUnsigned(value, 100000, &n)) return bad();
                o.hotPixels = static_cast<int>(n);
            } else if (key == "dead") {
                if (!ParseUnsigned(value, 100000, &n)) return bad();
                o.deadPixels = static_cast<int>(n);
            } else if (key == "vignette") {
                if (!ParseUnsigned(value, 100, &n)) return bad();
                o.vignette = static_cast<int>(n);
            } else if (key == "record") {
                if (!ParseFlag(value, &o.record)) return bad();
            } else if (key == "faults") {
                for (const std::string& entry : Split(value, ',')) {
                    if (Trim(entry).empty()) continue;
                    FaultSpec fault;
                    if (!ParseFault(entry, &fault, error)) return false;
                    o.faults.push_back(fault);
                }
            } else {
                return fail("unknown simulator option '" + key + "'");
            }
        }
    }
    *options = o;
    return true;
}

}  // namespace veltcam::sim
