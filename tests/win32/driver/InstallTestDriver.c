/* Installs the test camera bus into the running Wine prefix, or waits for it.
 *
 *   install-test-driver install <inf>   root device + driver from the INF, then wait
 *   install-test-driver wait <seconds>  start the bus driver if needed and wait for it
 *
 * Exit status 0 when the driver's control device opens, 2 when it did not within the
 * time (the caller restarts the prefix's server and asks again), 1 on a set-up error.
 * Every wait is bounded. */
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TestDriverProtocol.h"

static const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

static int ControlDeviceOpens(void) {
    HANDLE h = CreateFileA(VCT_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(h);
    return 1;
}

static void StartBusService(void) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service;
    if (manager == NULL) return;
    service = OpenServiceA(manager, VCT_SERVICE_NAME, SERVICE_START);
    if (service != NULL) {
        StartServiceA(service, 0, NULL); /* already running is fine */
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

static int WaitForBus(DWORD ms) {
    DWORD start = GetTickCount();
    int asked = 0;
    for (;;) {
        if (ControlDeviceOpens()) return 0;
        if (GetTickCount() - start >= ms) return 2;
        if (!asked || GetTickCount() - start > ms / 2) {
            StartBusService();
            asked = 1;
        }
        Sleep(50);
    }
}

static int Install(const char* inf) {
    static const char hardwareId[] = "root\\vctestbus\0";
    char path[MAX_PATH];
    SP_DEVINFO_DATA device;
    HDEVINFO set;
    BOOL reboot = FALSE;

    if (!GetFullPathNameA(inf, sizeof(path), path, NULL)) return 1;
    set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    if (set == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "SetupDiCreateDeviceInfoList: %lu\n", GetLastError());
        return 1;
    }
    device.cbSize = sizeof(device);
    if (!SetupDiCreateDeviceInfoA(set, "root\\vctestbus\\0", &kSystemClass, NULL, NULL, 0,
                                  &device)) {
        fprintf(stderr, "SetupDiCreateDeviceInfo: %lu\n", GetLastError());
        return 1;
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID,
                                           (const BYTE*)hardwareId, sizeof(hardwareId)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        fprintf(stderr, "registering the root device: %lu\n", GetLastError());
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, "root\\vctestbus", path, INSTALLFLAG_FORCE,
                                            &reboot)) {
        fprintf(stderr, "UpdateDriverForPlugAndPlayDevices: %lu\n", GetLastError());
        return 1;
    }
    return WaitForBus(10000);
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "install") == 0) return Install(argv[2]);
    if (argc == 3 && strcmp(argv[1], "wait") == 0) return WaitForBus((DWORD)atoi(argv[2]) * 1000);
    fprintf(stderr, "usage: install-test-driver install <inf> | wait <seconds>\n");
    return 1;
}
