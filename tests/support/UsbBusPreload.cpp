// Simulated cameras on the emulated USB bus inside a program that knows nothing of
// them, such as the veltcam tool. Preloaded after umockdev's library, it puts the
// cameras on the bus when the program first starts libusb, before libusb looks for
// devices, and leaves them there until the process ends. The emulation answers a
// device file's requests only in the process that holds the cameras, which is why
// they must live in the program's own process.
//
//   VELTCAM_TEST_USB_BUS       the simulator's options (cameras, vid=, ...)
//   VELTCAM_TEST_USB_READONLY  cameras (indices, comma-separated) whose device node
//                              nobody may write, as without the udev rule
#include <dlfcn.h>
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>

#include "sim/usb/CSimUsbFront.h"

namespace {

// Never ended: the program's own static destructors may still close its device
// files at exit, and the bus must answer them.
veltcam::sim::CSimUsbFront* bus = nullptr;

[[noreturn]] void Refuse(const char* what, const std::string& why) {
    std::fprintf(stderr, "test USB bus: %s: %s\n", what, why.c_str());
    std::abort();
}

void StartBus() {
    const char* options = std::getenv("VELTCAM_TEST_USB_BUS");
    if (options == nullptr) return;
    std::string error;
    auto simulator = veltcam::sim::CSimDriver::Create(options, &error);
    if (!simulator) Refuse("VELTCAM_TEST_USB_BUS", error);
    veltcam::sim::UsbFrontOptions frontOptions;
    if (const char* readOnly = std::getenv("VELTCAM_TEST_USB_READONLY")) {
        std::istringstream list(readOnly);
        for (std::string index; std::getline(list, index, ',');) {
            frontOptions.readOnlyNodes.insert(std::stoi(index));
        }
    }
    bus = veltcam::sim::CSimUsbFront::Create(simulator, &error, frontOptions).release();
    if (bus == nullptr) Refuse("the emulated bus", error);
}

}  // namespace

// Stands in for libusb's own, which it calls once the bus is up.
extern "C" __attribute__((visibility("default"))) int LIBUSB_CALL
libusb_init(libusb_context** context) {
    static std::once_flag once;
    std::call_once(once, StartBus);
    using Init = int(LIBUSB_CALL*)(libusb_context**);
    static const auto next = reinterpret_cast<Init>(dlsym(RTLD_NEXT, "libusb_init"));
    return next(context);
}
