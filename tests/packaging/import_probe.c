/* A client as Visual C++ compiles it, linked with no C run-time at all: it
   calls the SDK through the import table (dllimport), through the import
   library's thunks (a plain declaration), and by an alias name that shares
   its entry point with another export. Exits 0 when every answer is right. */
__declspec(dllimport) int VeltCam_GetDllVersion(void);
__declspec(dllimport) int VeltCamEx_GetVersion(void);
int VeltCam_GetHalfClock(unsigned int handle);
int VeltCam_Width(unsigned int handle);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

void __stdcall ProbeEntry(void) {
    unsigned int failures = 0;
    if (VeltCam_GetDllVersion() != 0x020D0521) failures |= 1;
    if (VeltCamEx_GetVersion() < 0x020000) failures |= 2;
    /* Handle 0 is never valid: the unknown-handle result. */
    if (VeltCam_GetHalfClock(0) != 0) failures |= 4;
    if (VeltCam_Width(0) != 0) failures |= 8;
    ExitProcess(failures);
}
