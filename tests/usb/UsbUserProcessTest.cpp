// Which cameras a user's process finds and may open on Linux: VELTCAM_USB_VID
// narrowing the search to one vendor, and a camera whose device node the user may
// not write (no udev rule) explained in one line. The SDK reads the variable once,
// when its USB channel starts, and keeps the channel for the life of the process,
// so every case runs in a process of its own: the SDK's cases in a forked child
// that puts its cameras on the emulated bus itself, the tool's as `veltcam list`
// with the test bus library preloaded (the emulation answers a device file only in
// the process that holds the cameras). This process never starts libusb.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "VeltCamSdk.h"
#include "sim/usb/CSimUsbFront.h"
#include "support/PrivateSettingsStore.h"
#include "support/SimTestSupport.h"

namespace veltcam {
namespace {

struct ChildResult {
    int exitCode = -1;
    std::string out, err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `body` in a forked child whose standard output and error go to files; the
// child ends with _exit, so none of this process's destructors run twice.
ChildResult RunChild(const std::function<int()>& body) {
    const std::string out = testing::TempDir() + "usb-child-out.txt";
    const std::string err = testing::TempDir() + "usb-child-err.txt";
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(120);
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    ChildResult result;
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

void SetVendorVariable(const char* value) {
    if (value != nullptr) {
        setenv("VELTCAM_USB_VID", value, 1);
    } else {
        unsetenv("VELTCAM_USB_VID");
    }
}

// A user without the udev rule may not write the camera's node; root may write any
// file, so a root test process gives up that power first (also for programs it
// starts: the bounding set). False, with the reason on standard error, if it cannot.
bool GiveUpOverridingFilePermissions() {
    if (geteuid() != 0) return true;
    if (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0) {
        std::perror("dropping CAP_DAC_OVERRIDE from the bounding set");
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
    data[0].permitted &= ~(1u << CAP_DAC_OVERRIDE);
    data[0].inheritable &= ~(1u << CAP_DAC_OVERRIDE);
    if (syscall(SYS_capset, &header, data) != 0) {
        std::perror("dropping CAP_DAC_OVERRIDE");
        return false;
    }
    return true;
}

struct Bus {
    std::string options;
    std::set<int> readOnly;
};

// In the child: the cameras on the bus, then the SDK's view of them. Prints the
// camera count, then "<device> <SetDeviceNumber result> <error code>" per camera.
int SdkChild(const Bus& bus) {
    if (!bus.readOnly.empty() && !GiveUpOverridingFilePermissions()) return 100;
    unsetenv("VELTCAM_SIMULATOR");
    sim::UsbFrontOptions options;
    options.readOnlyNodes = bus.readOnly;
    std::string error;
    auto front = sim::CSimUsbFront::Create(test::MakeSim(bus.options), &error, options);
    if (!front) {
        std::fprintf(stderr, "no emulated bus: %s\n", error.c_str());
        return 101;
    }
    const VeltCamHandle handle = VeltCam_Initialize(nullptr);
    if (handle == 0) return 102;
    char names[VELTCAM_MAX_ENUM_DEVICES][VELTCAM_DEVICE_NAME_SIZE] = {};
    const int count = VeltCam_EnumDevice(handle, names);
    std::printf("%d\n", count);
    for (int device = 0; device < count; ++device) {
        while (VeltCam_GetLastError(handle) != 0) {
        }
        const int selected = VeltCam_SetDeviceNumber(handle, device);
        std::printf("%d %d %d\n", device, selected, VeltCam_GetLastError(handle));
    }
    // Counts this process out of the cameras' shared table, which _exit would not.
    VeltCam_Release(handle);
    return 0;
}

// `veltcam list` with the cameras of `bus` in its process.
int ToolChild(const Bus& bus) {
    if (!bus.readOnly.empty() && !GiveUpOverridingFilePermissions()) return 100;
    unsetenv("VELTCAM_SIMULATOR");
    setenv("VELTCAM_TEST_USB_BUS", ("table=" + test::UniqueTableName() + ";" + bus.options).c_str(),
           1);
    std::string readOnly;
    for (int camera : bus.readOnly)
        readOnly += (readOnly.empty() ? "" : ",") + std::to_string(camera);
    setenv("VELTCAM_TEST_USB_READONLY", readOnly.c_str(), 1);
    const char* preload = std::getenv("LD_PRELOAD");
    const std::string preloads =
        std::string(preload != nullptr ? preload : "") + ":" + VELTCAM_TEST_USB_BUS_LIBRARY;
    setenv("LD_PRELOAD", preloads.c_str(), 1);
    execl(VELTCAM_TOOL, VELTCAM_TOOL, "list", static_cast<char*>(nullptr));
    std::perror("starting veltcam");
    return 103;
}

// The children's settings file and emulated buses (umockdev's testbed folders, in
// TMPDIR) go into one private folder, removed with the fixture.
class UsbUserProcess : public testing::Test {
  protected:
    void SetUp() override { setenv("TMPDIR", store_.Folder().c_str(), 1); }
    void TearDown() override {
        if (previousTmp_.empty()) {
            unsetenv("TMPDIR");
        } else {
            setenv("TMPDIR", previousTmp_.c_str(), 1);
        }
    }
    const std::string previousTmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    test::CPrivateSettingsStore store_;
};

TEST_F(UsbUserProcess, VeltcamUsbVidKeepsOnlyItsVendorsCamerasForTheSdkAndTheTool) {
    // One camera under a vendor id other than the SDK's own default.
    const Bus bus{"cameras=1;vid=1234", {}};
    const struct {
        const char* variable;
        int found;
    } cases[] = {
        {nullptr, 1},               // any vendor: the camera is found by its interface
        {"", 1},      {"1234", 1},  // its own vendor
        {"2a5d", 0},                // another vendor hides it
        {"12g4", 1},                // not a vendor id: ignored rather than hiding every camera
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable != nullptr ? std::string("VELTCAM_USB_VID=") + c.variable
                                           : std::string("VELTCAM_USB_VID unset"));
        const ChildResult sdk = RunChild([&] {
            SetVendorVariable(c.variable);
            return SdkChild(bus);
        });
        ASSERT_EQ(sdk.exitCode, 0) << sdk.err;
        std::istringstream lines(sdk.out);
        int count = -1;
        lines >> count;
        EXPECT_EQ(count, c.found) << sdk.out;
        for (int device = 0; device < c.found; ++device) {
            int number = -1, selected = -1, code = -1;
            lines >> number >> selected >> code;
            EXPECT_EQ(selected, 1) << "device " << device << " opens, code " << code;
        }
        EXPECT_EQ(sdk.err, "");

        const ChildResult tool = RunChild([&] {
            SetVendorVariable(c.variable);
            return ToolChild(bus);
        });
        ASSERT_EQ(tool.exitCode, 0) << tool.err;
        const std::string first = tool.out.substr(0, tool.out.find('\n'));
        EXPECT_EQ(first, c.found == 1 ? "1 camera" : "0 cameras") << tool.out;
        EXPECT_EQ(tool.err, "");
        if (c.found == 1) {
            EXPECT_NE(tool.out.find("device 0  VeltCamM40-USB3-R7_01  serial "), std::string::npos)
                << tool.out;
            EXPECT_EQ(tool.out.find("serial ?"), std::string::npos) << "it opened: " << tool.out;
        }
    }
}

TEST_F(UsbUserProcess, ACameraTheUserMayNotOpenIsLeftOutWithOneLineNamingTheUdevRule) {
    // The first of two cameras (port 1 of the SuperSpeed bus) has no rule for its node.
    const Bus bus{"cameras=2", {0}};
    const std::string line =
        "veltcam: no permission to open the camera 2a5d:31c4 on USB port 2-1 "
        "(/dev/bus/usb/002). Install the udev rule 60-veltcam.rules into /etc/udev/rules.d "
        "and replug the camera; it grants access to the user at the local desktop, and to "
        "members of the 'veltcam' group (for services and remote logins)\n";

    const ChildResult sdk = RunChild([&] {
        SetVendorVariable(nullptr);
        return SdkChild(bus);
    });
    ASSERT_EQ(sdk.exitCode, 0) << sdk.err;
    EXPECT_EQ(sdk.err, line) << "the reason, once";
    // A camera that cannot be opened is not counted; the other one is device 0.
    std::istringstream lines(sdk.out);
    int count = -1, device = -1, selected = -1, code = -1;
    lines >> count >> device >> selected >> code;
    EXPECT_EQ(count, 1) << sdk.out;
    EXPECT_EQ(selected, 1) << "the other camera opens: " << sdk.out;

    const ChildResult tool = RunChild([&] {
        SetVendorVariable(nullptr);
        return ToolChild(bus);
    });
    ASSERT_EQ(tool.exitCode, 0) << tool.err;
    EXPECT_EQ(tool.err, line);
    EXPECT_EQ(tool.out.substr(0, tool.out.find('\n')), "1 camera") << tool.out;
    EXPECT_EQ(tool.out.find("serial ?"), std::string::npos) << "it opened: " << tool.out;
}

}  // namespace
}  // namespace veltcam
