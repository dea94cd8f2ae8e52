// The simulator's options string: what it accepts, what it refuses, and how fault
// schedules pick the events they hit.
#include <gtest/gtest.h>

#include "sim/CSimFaults.h"
#include "sim/SimOptions.h"

namespace veltcam::sim {
namespace {

TEST(SimOptions, OneMeansDefaults) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions("1", &options, &error)) << error;
    EXPECT_EQ(options.cameras, 1);
    EXPECT_FALSE(options.fpsMax);
    EXPECT_TRUE(options.faults.empty());
}

TEST(SimOptions, KeysAndValues) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(
        ParseSimOptions(" cameras=2; others=31c5,00ff; fps=max; seed=7; firmware=0x1100; gpio25=0;"
                        " fpga=300; serial=ABC; trigger=40; table=t-1; clock=virtual; stalls=real;"
                        " abort-delay=20; eeprom-cycle=5; speed=3; noise=8; hot=10; dead=4;"
                        " vignette=30; record=1; faults=header-timeout@3-5,i2c-refuse:0x40.8#1",
                        &o, &error))
        << error;
    EXPECT_EQ(o.cameras, 2);
    EXPECT_EQ(o.otherProducts, (std::vector<uint16_t>{0x31c5, 0x00ff}));
    EXPECT_TRUE(o.fpsMax);
    EXPECT_EQ(o.seed, 7u);
    EXPECT_EQ(o.firmware, 0x1100);
    EXPECT_EQ(o.gpio25, 0);
    EXPECT_EQ(o.fpgaVersion, 300);
    EXPECT_EQ(o.serial, "ABC");
    EXPECT_EQ(o.triggerPeriodMs, 40u);
    EXPECT_EQ(o.table, "t-1");
    EXPECT_TRUE(o.virtualClock);
    EXPECT_FALSE(o.instantStalls);
    EXPECT_EQ(o.abortDelayMs, 20u);
    EXPECT_EQ(o.eepromWriteCycleMs, 5u);
    EXPECT_EQ(o.busSpeed, 3u);
    EXPECT_EQ(o.noise, 8);
    EXPECT_EQ(o.hotPixels, 10);
    EXPECT_EQ(o.deadPixels, 4);
    EXPECT_EQ(o.vignette, 30);
    EXPECT_TRUE(o.record);
    ASSERT_EQ(o.faults.size(), 2u);
    EXPECT_EQ(o.faults[0].kind, FaultKind::HeaderTimeout);
    EXPECT_EQ(o.faults[0].first, 3u);
    EXPECT_EQ(o.faults[0].last, 5u);
    EXPECT_EQ(o.faults[1].kind, FaultKind::I2cRefuse);
    EXPECT_EQ(o.faults[1].argument, 0x40u);
    EXPECT_EQ(o.faults[1].reg, 8);
    EXPECT_EQ(o.faults[1].camera, 1);
}

TEST(SimOptions, RefusesWhatItDoesNotKnow) {
    const char* bad[] = {
        "",
        "cameras",
        "camera=2",
        "cameras=-1",
        "cameras=99",
        "fps=fast",
        // Not finite, or a period that overflows the clock.
        "fps=nan",
        "fps=inf",
        "fps=-inf",
        "fps=1e-300",
        "fps=0",
        "fps=10001",
        "faults=status@pnan",
        "faults=status@p-nan",
        "table=a/b",
        "clock=slow",
        "faults=explode",
        "faults=status:0",
        "faults=header-timeout@0",
        "faults=short@5-2",
        "faults=unplug@p2",
        "faults=i2c-refuse",
        "faults=ready-stuck:3",
        "others=31c5x",
    };
    for (const char* text : bad) {
        SimOptions options;
        std::string error;
        EXPECT_FALSE(ParseSimOptions(text, &options, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << text;
    }
    for (const char* text : {"fps=0.001", "fps=10000", "faults=status@p0.5"}) {
        SimOptions options;
        EXPECT_TRUE(ParseSimOptions(text, &options, nullptr)) << text;
    }
    std::string error;
    SimOptions options;
    ParseSimOptions("cameras=1;colour=7", &options, &error);
    EXPECT_NE(error.find("colour"), std::string::npos) << "the message names the unknown key";
}

TEST(SimFaults, SchedulesCountEventsPerEntry) {
    struct Case {
        const char* fault;
        std::vector<int> hits;  // which of ten events are hit
    };
    const Case cases[] = {
        {"header-timeout", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"header-timeout@3", {3}},
        {"header-timeout@2-4", {2, 3, 4}},
        {"header-timeout@9-", {9, 10}},
        {"header-timeout@p0", {}},
        {"header-timeout@p1", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const Case& c : cases) {
        FaultSpec rule;
        std::string error;
        ASSERT_TRUE(ParseFault(c.fault, &rule, &error)) << error;
        CSimFaults faults({rule}, 1);
        std::vector<int> hits;
        for (int event = 1; event <= 10; ++event) {
            if (faults.Hit(FaultKind::HeaderTimeout, 0)) hits.push_back(event);
        }
        EXPECT_EQ(hits, c.hits) << c.fault;
    }
}

TEST(SimFaults, MatchCameraDeviceAndRegister) {
    FaultSpec rule;
    std::string error;
    ASSERT_TRUE(ParseFault("i2c-refuse:0x41.8#1", &rule, &error)) << error;
    CSimFaults faults({rule}, 1);
    EXPECT_FALSE(faults.Hit(FaultKind::I2cRefuse, 0, 0x40, 8)) << "other camera";
    EXPECT_FALSE(faults.Hit(FaultKind::I2cRefuse, 1, 0x40, 7)) << "other register";
    EXPECT_FALSE(faults.Hit(FaultKind::I2cRefuse, 1, 0xA2, 8)) << "other device";
    EXPECT_TRUE(faults.Hit(FaultKind::I2cRefuse, 1, 0x41, 8)) << "read form of the same device";
}

TEST(SimFaults, ProbabilityIsSeeded) {
    auto run = [](uint64_t seed) {
        FaultSpec rule;
        ParseFault("short@p0.5", &rule, nullptr);
        CSimFaults faults({rule}, seed);
        std::string pattern;
        for (int i = 0; i < 64; ++i) pattern += faults.Hit(FaultKind::ShortRead, 0) ? '1' : '0';
        return pattern;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
    std::string p = run(7);
    EXPECT_GT(std::count(p.begin(), p.end(), '1'), 10);
    EXPECT_LT(std::count(p.begin(), p.end(), '1'), 54);
}

}  // namespace
}  // namespace veltcam::sim
