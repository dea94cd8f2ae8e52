// The SDK object behind one API handle.
//
// It owns the camera core, the image buffers, the preview window, the capture
// threads and the state the exports read and write directly (capture window, colour
// mode, sub-sampling, wait time, image settings) and keeps the handle's error history.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/FrameMeta.h"
#include "files/AviWriter.h"
#include "foundation/DibImage.h"
#include "foundation/ModelConstants.h"
#include "imaging/CPipelineWorkers.h"
#include "imaging/ImageSettings.h"
#include "platform/Messages.h"
#include "sdk/CErrorHistory.h"
#include "sdk/CFrameQueue.h"
#include "sdk/StreamRecords.h"
#include "ui/SettingsRecords.h"

namespace veltcam {

struct MaskPlanes;
struct PipelineFrame;
class CVeltCamD3A7Base;
class CSdkPipelineHost;
namespace ui {
class CFormatDialogModel;
class CAnalogDialogModel;
class CImageDialogModel;
}  // namespace ui

// Where the preview window goes; empty when there is no parent and all four are 0.
struct PreviewPlacement {
    platform::WindowHandle parent = nullptr;
    int x = 0;
    int y = 0;
    int width = kSensorWidth;
    int height = kSensorHeight;
};

// Index of the image buffers: six output buffers by colour mode, then the
// working and display buffers, then the defect-mask planes.
enum ImageSlot : int {
    kImageMono8 = 0,
    kImageMono16,
    kImageColor24,
    kImageColor32,
    kImageColor48,
    kImageColor64,
    kImageWorking,
    kImageDisplay,
    kImageMaskFirst,
    kImageCount = kImageMaskFirst + 15,  // the mask planes (kMaskPlaneCount)
};

class CVeltCam {
  public:
    CVeltCam();
    virtual ~CVeltCam();
    CVeltCam(const CVeltCam&) = delete;
    CVeltCam& operator=(const CVeltCam&) = delete;

    // Builds the camera core and buffers and loads the stored settings. The handle
    // stays usable when this fails; the failure is in the error history.
    int Initialize(platform::WindowHandle window);

    // Records `code` and posts it to the notification window (if any).
    void Report(int32_t code);
    // Posts `code` without recording it; a null window posts to the caller's queue.
    void Notify(int32_t code);
    int32_t GetLastError() { return history_.TakeNewest(); }

    bool HasCore() const { return core_ != nullptr; }
    CVeltCamD3A7Base* Core() const { return core_.get(); }

    // Geometry and format state that needs no camera.
    int Width() const;
    int Height() const;
    int GetCaptureWindowEx(int* th, int* ehs, int* eh, int* tv, int* evs, int* ev) const;
    int GetColorMode() const;
    int SetSubSample(int mode);
    int GetSubSample() const;
    int SetWaitTime(int ms);
    int GetWaitTime() const { return waitTimeMs_; }

    // Entry points of features this camera does not have.
    int NotifyNotSupported();  // notify 11, return 0
    int ReportNotSupported();  // report 11, return 0

    platform::WindowHandle NotificationWindow() const { return notificationWindow_; }
    DibImage* Image(int slot) { return images_[slot].get(); }

    // ---- Device selection (bodies in CVeltCamDevice.cpp) --------------------------
    int SetDeviceNumber(int number);
    // Opens the camera in use again after it came back from an unplug.
    int ReopenLostCamera(int number);
    int CurrentDeviceNumber() const { return deviceNumber_.load(); }
    // Names "VeltCamM40-USB3-R7_01", ... of the present cameras into `capacity`
    // entries of 256 bytes, the rest emptied; returns the number of names written.
    int EnumDevice(char (*names)[256], int capacity);
    int EnumDeviceW(wchar_t (*names)[256]);
    int GetDeviceName(int number, char* buffer, int size);
    int GetDeviceNameW(int number, wchar_t* buffer, int size);
    int GetCameraInfo(void* record);
    int SetCaptureWindow(int width, int height);
    int SetCaptureWindowEx(int th, int ehs, int eh, int tv, int evs, int ev);
    int SetColorMode(int bits);
    int ReadSerialNumberA(char* buffer, int size);
    // The selected camera's bus speed code (0 unknown .. 4 SuperSpeed).
    int GetBusSpeed(int* speed);
    int ReadSerialNumberW(wchar_t* buffer, int size);
    int ReadSromID(int address, int* ok);
    int WriteSromID(int address, int value);
    // The capture-window check: offsets and sizes inside the sensor, a known
    // sub-sampling mode. Takes the image lock.
    bool IsCaptureWindowValid() const;
    // ---- end of device selection ---------------------------------------------------

    // ---- Setting-ID interface and camera settings --------------------------------
    // (bodies in CVeltCamSettingIds.cpp and CVeltCamCameraSettings.cpp)
    int GetFilterValue(int id, int* ok);
    int SetFilterValue(int id, int value);
    int SetExposureTimeEx(double ms);
    double GetExposureTimeEx(int* ok);
    int SetRealExposureTime(int microseconds);
    int GetRealExposureTime(int* ok);
    int SetMirrorH(int on);
    int SetMirrorV(int on);
    int GetMirrorH();
    int GetMirrorV();
    int SetAutoIris(int mode);
    int GetAutoIris(int* ok);
    int SetIOPort(int value);
    int GetIOPort(uint8_t* value);
    double GetTemperatureEx(int* ok);
    int SetSamplingRate(int rate);
    intptr_t SetInternalCorrection(int value);
    intptr_t GetInternalCorrection(int* ok);
    int FpgaReadRegister(int address, int* ok);
    int FpgaWriteRegister(int address, int value);
    intptr_t ReadSensorRegister(int address, int* ok);
    int WriteSensorRegister(int address, int value);
    const ImageSettings& Settings() const { return imageSettings_; }
    const CameraSettings& CameraValues() const { return cameraSettings_; }
    // ---- end of setting-ID interface and camera settings --------------------------

    // ---- Defect mask and image pipeline (bodies in CVeltCamMask.cpp) ----------
    MaskPlanes MaskPlaneSet();
    // Dark (which 0) or white (1) reference from the current raw buffer.
    int UpdateMaskData(int which);
    int SaveMaskFile(const char* path);
    int SaveMaskFileW(const wchar_t* path);
    int LoadMaskFile(const char* path);
    int LoadMaskFileW(const wchar_t* path);
    // Correction switches of setting IDs 102 (dot filter) and 103 (mask filter):
    // false, nothing stored, for another ID or a value other than 0 and 1.
    bool SetCorrectionSwitch(int id, int value);
    int GetCorrectionSwitch(int id) const;
    // Everything ProcessFrame needs that this object holds. The caller adds what
    // the camera core knows (the sensor's own mirroring, the pipeline host).
    void FillPipelineFrame(PipelineFrame& frame);
    // ---- end of defect mask and image pipeline -----------------------------------

    // ---- Configuration file (bodies in CVeltCamConfigFile.cpp) ------------------
    // Replaces the configuration list with the file's 8-byte records; 0 without a
    // code when the file cannot be read. The W form fails with code 12 when the
    // path does not convert, or converts to 1023 narrow bytes or more.
    int LoadConfigFile(const char* path);
    int LoadConfigFileW(const wchar_t* path);
    // A copy of the list as loaded: two little-endian 32-bit integers per record.
    std::vector<std::array<int32_t, 2>> ConfigList();
    // ---- end of configuration file -----------------------------------------------

    // ---- Still images and movie recorder (bodies in CVeltCamFiles.cpp) ---------
    // Writes the current output image (the buffer of the colour mode) to a still
    // image file in `format` (StillImageFormat). 0 with code 1 before any frame.
    int SaveImage(const char* path, int format);
    int SaveImageW(const wchar_t* path, int format);
    // The movie recorder that the record thread feeds.
    CAviWriter& MovieWriter() { return aviWriter_; }
    // ---- end of still images and movie recorder ----------------------------------

    // ---- Capture modes and preview window (bodies in CVeltCamCapture.cpp) ------
    int StartPreview();
    int StopPreview();
    int Preview();
    int CallBackPreview(platform::WindowHandle window, uint8_t* buffer, int size, int flip);
    int Capture();
    int SnapShot(uint8_t* buffer, int size, int flip);
    int GetImage(uint8_t* buffer, int size, int flip);
    int Trigger(platform::WindowHandle window, uint8_t* buffer, int size, int flip);
    int Record(const char* path, int durationMs, int display);
    int RecordW(const wchar_t* path, int durationMs, int display);
    int SetPreviewWindow(platform::WindowHandle parent, int x, int y, int width, int height);
    int Close();
    int CaptureMode() const { return captureMode_; }
    // Frames per 10 s as the preview loop last measured it.
    int FrameRate() const { return frameRate10s_.load(); }
    // ---- end of capture modes and preview window ---------------------------------

    // ---- Pulled frames and stream statistics (bodies in CVeltCamStream.cpp) -----
    // Depth 0 turns the queue off; 1..64 frames with a CFrameQueue policy.
    int SetFrameQueue(int depth, int policy);
    // 1 a frame, 2 time-out (nothing reported), 0 failure reported (1, 5, 9, 13).
    int WaitFrameEx(uint8_t* buffer, int size, int flip, int timeoutMs, StreamFrameInfo* info);
    int GetFrameInfoEx(StreamFrameInfo* info);
    int GetStreamStats(StreamStats* stats);
    int ResetStreamStats();
    // Threads that convert each frame: 1..kMaxPipelineThreads, 0 the default.
    int SetPipelineThreads(int threads);
    int PipelineThreads() const { return pipelineWorkers_.ThreadLimit(); }
    // The handle is going away: every waiting WaitFrameEx returns now.
    void EndFrameStream();
    // ---- end of pulled frames and stream statistics -------------------------------

    // ---- Setting dialogs (bodies in CVeltCamDialogs.cpp) -------------------------
    // Modal on the caller's thread. 1 once the dialog has run; 0 with code 1 without
    // a camera core, 0 with code 11 on a platform without dialog windows.
    int SetCameraDlg(platform::WindowHandle owner);
    int SetAnalogDlg(platform::WindowHandle owner);
    int SetImageDlg(platform::WindowHandle owner);
    // What the dialogs do around their windows, for any view: `view` shows the
    // dialog on its model and returns 1 for OK. The format dialog stops a running
    // capture mode around the view (pauses trigger mode), reloads frame size and
    // format after OK and resumes; the analog and image dialogs edit the settings
    // live, register the view's window for the display thread's refresh messages
    // while it is open, and restore the earlier values unless OK. Need a camera core.
    using DialogWindowSink = std::function<void(platform::WindowHandle)>;
    int RunFormatDialogWith(const std::function<int(ui::CFormatDialogModel&)>& view);
    int RunAnalogDialogWith(
        const std::function<int(ui::CAnalogDialogModel&, const DialogWindowSink&)>& view);
    int RunImageDialogWith(
        const std::function<int(ui::CImageDialogModel&, const DialogWindowSink&)>& view);
    // ---- end of setting dialogs ---------------------------------------------------

    // Tests: the next frame's conversion fails as if an allocation inside it had, to
    // show that the display thread survives it.
    void FailNextConversionForTest() { failNextConversion_ = true; }

  private:
    // ---- Device selection and settings persistence -----------------------------------
    void LoadSettingGroups(int cameraNumber);
    void SaveSettingGroups(int cameraNumber);
    void ReapplyCameraSettings();
    void LoadFormatSettings(int cameraNumber);
    // Camera-setting setters shared by the named exports and the setting-ID interface.
    int SetExposureUnits(int units);
    int SetGlobalGain(int value);
    int SetColorGain(int channel, int value);
    int FeatureGet(int id, int* ok);
    int FeatureSet(int id, int value);
    std::unique_ptr<CVeltCamD3A7Base> core_;
    // ---- end of device selection and settings persistence ------------------------------

    CErrorHistory history_;
    std::array<std::unique_ptr<DibImage>, kImageCount> images_;
    std::string windowClassName_;
    CaptureWindow captureWindow_;
    ImageSettings imageSettings_;
    CameraSettings cameraSettings_;
    // Guards the image buffers and every setting the exports and the pipeline share
    // (capture window, colour mode, sub-sampling, image and camera settings, device
    // number): each is read and written under it. Taken before the camera core's
    // control lock, never after it.
    mutable std::recursive_mutex imageLock_;
    bool settingsLoaded_ = false;
    PreviewPlacement previewPlacement_;
    platform::WindowHandle notificationWindow_ = nullptr;
    void* deviceArrivalRegistration_ = nullptr;
    platform::WindowHandle callbackWindow_ = nullptr;
    uint8_t* callbackBuffer_ = nullptr;
    int callbackBufferSize_ = 0;
    int callbackFlip_ = 0;
    int captureMode_ = 0;
    int colorModeIndex_ = 0;  // 0..5 = 8, 16, 24, 32, 48, 64 bits per pixel
    int subSampleMode_ = 0;   // 0 full, 1 half
    // Read by the display thread each frame.
    std::atomic<int> waitTimeMs_{10};
    int clock_ = 0;
    std::atomic<bool> imageValid_{false};  // a converted frame is in the output buffer
    double frameRate_ = 0.0;
    uint32_t frameCounter_ = 0;
    uint32_t rateTimeBaseMs_ = 0;
    int frameTimeoutMs_ = 3000;
    std::atomic<bool> skipNextFrame_{false};
    std::atomic<int> deviceNumber_{-1};
    int maskFilter_ = 0;
    int dotFilter_ = 0;
    std::mutex maskLock_;
    bool maskUpdate_ = false;
    // The mask planes come into being, with their initial references, when a mask
    // is first loaded or a reference taken; until then the corrections run on the
    // initial mask without them. False (nothing kept) when memory runs out. Under
    // the mask lock.
    bool EnsureMaskReferences();

    // ---- Defect mask and image pipeline ------------------------------------------
    std::array<bool, 2> whiteBalanceOnce_{};  // set by the image dialog's "Once"
    // ---- end of defect mask and image pipeline -----------------------------------

    // ---- Configuration file --------------------------------------------------------
    // Stored for the application and read by nothing else; guarded by maskLock_.
    std::vector<std::array<int32_t, 2>> configList_;
    // ---- end of configuration file -----------------------------------------------

    // ---- Capture modes and preview window -----------------------------------------
    // The record a frame message's wParam points at (layout seen by applications).
    struct FrameInfo {
        int32_t reserved = 0;
        int32_t width = 0;
        int32_t height = 0;
        int32_t bitsPerPixel = 0;
        int32_t frameRate = 0;  // frames per 10 s; 0 in trigger mode
        int32_t padding = 0;
        uint8_t* buffer = nullptr;
    };
    int CaptureSetup();
    bool CreatePreview();  // window and its DC; false (nothing reported) on failure
    void ClosePreview();
    bool StartDisplayThread(bool triggerLoop);
    void StopThreads();
    // The display thread: the loop of the mode, and whatever escapes it contained.
    void RunDisplayLoop(bool triggerLoop);
    // A frame the display thread could not handle ends the loop, with `code`.
    void EndDisplayAfterFault(int code);
    void PreviewLoop();
    void TriggerLoop();
    void RecordThread();
    void RecordLoop(uint32_t& start, uint32_t& last);
    std::atomic<bool> failNextConversion_{false};
    // Waits up to `ms` for the display loop to be told to stop; true when it was.
    bool SleepUnlessStopped(uint32_t ms);
    // Waits up to `ms` for a frame in short slices so that a stop is seen at once.
    int WaitFrameUnlessStopped(uint32_t ms);
    // Readout, conversion and bookkeeping of one frame; under the image lock.
    enum RateMode { kRateMeasured, kRateZero, kRateKept };
    bool ReadAndConvert(int rateMode);
    DibImage* OutputImage();
    DibImage* RawImage();
    bool CopyImageOut(uint8_t* buffer, int size, int flip);
    void Draw();
    void PostFrameMessage(uintptr_t wParam, intptr_t lParam);
    bool PlacementEmpty() const;

    // Serialises the mode operations of application threads; never taken by the
    // display or record thread, so stopping them under it cannot deadlock.
    std::recursive_mutex modeLock_;
    std::mutex stopLock_;  // with stopWake_: wakes sleeping loops on stop
    std::condition_variable stopWake_;
    std::atomic<int> displayState_{0};  // 0 stop, 1 run, 2 paused
    std::atomic<bool> recording_{false};
    std::atomic<bool> newFrame_{false};
    std::atomic<int> frameRate10s_{0};
    std::thread displayThread_;
    std::thread recordThread_;
    FrameInfo frameInfo_;
    int setupColorIndex_ = 0;  // the loops keep the colour mode of their set-up
    platform::WindowHandle previewWindow_ = nullptr;
    void* previewDc_ = nullptr;
    uint32_t recordDurationMs_ = 0;
    bool sensorMirrorsH_ = false;  // the sensor mirrors itself; the pipeline need not
    bool sensorMirrorsV_ = false;
    // ---- end of capture modes and preview window ---------------------------------

    // ---- Pulled frames and stream statistics ----------------------------------------
    // A capture mode starts numbering its frames; `queued` opens the frame queue.
    void BeginStream(bool queued);
    // The frame ReadAndConvert just read: metadata and counters. Under the image lock.
    void NoteConvertedFrame(const DibImage& raw);
    // The display loops hand the converted frame to the queue. Under the image lock.
    void QueueConvertedFrame();
    CFrameQueue frameQueue_;
    // The display thread spreads each frame over these; joined with the object.
    CPipelineWorkers pipelineWorkers_;
    // The rest is guarded by imageLock_.
    uint64_t streamBase_ = 0;           // the core's stored-frame count when the mode started
    int64_t lastConverted_ = -1;        // frame number of the last converted frame
    uint32_t lastCameraCounter_ = 0;    // the camera's counter in that frame's header
    uint64_t lostInTransferTotal_ = 0;  // since the mode started
    StreamFrameInfo currentFrame_;      // what GetImage would return now
    bool haveCurrentFrame_ = false;
    StreamStats streamCounts_;    // the counters this object keeps itself
    TransferCounters statsBase_;  // the core's counters at the last reset
    uint64_t rateFirstNs_ = 0, rateLastNs_ = 0, rateFrames_ = 0;
    // ---- end of pulled frames and stream statistics -------------------------------

    // ---- Setting dialogs -------------------------------------------------------------
    // Windows of the open analog and image dialogs; the display thread posts to them
    // (CSdkPipelineHost) while the application's thread opens and closes them.
    std::mutex dialogLock_;
    platform::WindowHandle analogDialog_ = nullptr;
    platform::WindowHandle imageDialog_ = nullptr;
    void PostToDialog(platform::WindowHandle CVeltCam::*dialog, uint32_t message, uintptr_t wParam);
    friend class CSdkPipelineHost;    // auto iris and balance refreshes from the display thread
    friend class CSdkSettingsAccess;  // the dialogs' settings, under the image lock
    // ---- end of setting dialogs -------------------------------------------------------

    // ---- Still images and movie recorder ------------------------------------------
    // SaveImage once a frame exists: the colour mode's buffer, copied under the image
    // lock and written from the copy.
    int SaveOutputImage(const char* path, int format);
    CAviWriter aviWriter_;
    friend class CVeltCamFilesTest;  // sets up frame state that needs a camera
    // ---- end of still images and movie recorder ----------------------------------
};

}  // namespace veltcam
