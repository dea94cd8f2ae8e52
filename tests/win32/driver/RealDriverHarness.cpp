// Linked into SDK test programs to run them a second time through the SDK's real
// Win32 driver path: with VELTCAM_TEST_DRIVER=1, every test that would put a
// simulator into the SDK (test::UseSdkSimulator) leaves VELTCAM_SIMULATOR empty and
// puts that simulator behind the test camera driver instead. The SDK then finds the
// cameras with SetupDi, opens them with CreateFileA and talks to them with
// overlapped DeviceIoControl, as it does with a real camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "support/SimTestSupport.h"
#include "win32/driver/CDriverHost.h"

namespace veltcam::test {
namespace {

// Interfaces appear asynchronously after a plug; a loaded machine takes a while.
constexpr uint32_t kPlugWaitMs = 20000;

// Behind the driver every request is pending for the SDK anyway; the simulator may
// answer what it has at once instead of from its own thread, which saves two thread
// switches a request (they add up on a loaded machine, where the SDK's frame waits
// of 3 s must still hold).
std::string WithInlineCompletion(const std::string& options) {
    if (options.find("complete=") != std::string::npos) return options;
    return options + ";complete=inline";
}

// Whether the running test put its cameras behind the driver, and how many tests
// did. A rerun that quietly fell back to the embedded simulator would pass every
// assertion, so the program ends with a count that the test registration checks.
bool g_usedDriver = false;
int g_testsThroughDriver = 0;
int g_testsRun = 0;

std::unique_ptr<CDriverHost>& Host() {
    static auto* host = new std::unique_ptr<CDriverHost>();
    return *host;
}

void UseDriver(const std::string& options) {
    // The previous test's cameras go first: the same paths are plugged again.
    Host().reset();
    _putenv_s("VELTCAM_SIMULATOR", "");
    std::string error;
    Host() = CDriverHost::Start(MakeSim(WithInlineCompletion(options)), kPlugWaitMs, &error);
    if (!Host()) throw std::runtime_error("test camera driver: " + error);
    g_usedDriver = true;
}

// Ends the host after each test, so that one test's cameras never outlive it, and
// counts the tests that reached their cameras through the driver.
class CHostReset : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { g_usedDriver = false; }
    void OnTestEnd(const testing::TestInfo& info) override {
        Host().reset();
        ++g_testsRun;
        if (g_usedDriver) {
            ++g_testsThroughDriver;
        } else {
            std::printf("veltcam test driver: %s.%s never used the driver\n", info.test_suite_name(),
                        info.name());
        }
    }
    void OnTestProgramEnd(const testing::UnitTest&) override {
        std::printf("veltcam test driver: %d of %d tests ran through the test camera driver\n",
                    g_testsThroughDriver, g_testsRun);
        std::fflush(stdout);
    }
};

const bool kRegistered = [] {
    const char* value = std::getenv("VELTCAM_TEST_DRIVER");
    if (value == nullptr || std::string(value) != "1") return false;
    RealDriver().use = UseDriver;
    RealDriver().simulator = []() -> sim::CSimDriver* {
        return Host() ? &Host()->Simulator() : nullptr;
    };
    RealDriver().sync = [] {
        if (Host() && !Host()->WaitForPlugState(kPlugWaitMs)) {
            throw std::runtime_error("test camera driver: plug state did not follow");
        }
    };
    testing::UnitTest::GetInstance()->listeners().Append(new CHostReset);
    return true;
}();

}  // namespace
}  // namespace veltcam::test
