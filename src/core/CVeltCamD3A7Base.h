// The camera core: one per SDK object. It owns the USB controller and the sensor,
// opens and closes the camera, runs the transfer thread that fills a small ring of
// frame buffers, reads frames out to the caller in the orientation it asks for, and
// carries the camera settings.
//
// Results follow the camera's conventions: nonzero (mostly 1) for success, 0 for
// failure, unless an operation says otherwise.
//
// Threads: any thread may call any operation. Every operation that reaches the
// sensor object runs under the control lock, and so do the device switch that
// replaces the sensor and the capture start that sizes the ring from the sensor's
// window: the sensor is never used after it is deleted, and a capture never starts
// on a half-changed window. The transfer thread never takes that lock.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/CAutoResetEvent.h"
#include "core/FrameMeta.h"
#include "platform/DriverChannel.h"
#include "platform/Guid.h"
#include "platform/Messages.h"
#include "sensor/CSensorBase.h"
#include "transport/CVeltCy3Cam.h"

namespace veltcam {

class CVeltCamD3A7Base {
  public:
    static constexpr int kMaxRing = 8;
    static constexpr int kMaxDevices = 32;
    static constexpr int kFailuresBeforeGivingUp = 5;
    static constexpr uint32_t kDefaultFrameTimeoutMs = 5000;
    static constexpr uint16_t kEepromCoreByte = 0x1080;

    CVeltCamD3A7Base();
    virtual ~CVeltCamD3A7Base();
    CVeltCamD3A7Base(const CVeltCamD3A7Base&) = delete;
    CVeltCamD3A7Base& operator=(const CVeltCamD3A7Base&) = delete;

    // The driver channel the next CreateController uses (the simulator or the
    // driver, chosen by the owner); null (the default) means the installed driver.
    void SetDriverChannel(std::shared_ptr<platform::CDriverChannel> channel);

    // --- Model and device selection ---
    // Closes, then creates the controller (`interfaceClass` null: the camera's class).
    virtual int CreateController(platform::WindowHandle window,
                                 const platform::Guid* interfaceClass);
    virtual int Open();
    virtual int Close();
    virtual int ReadInfoBlock(uint8_t* block64);
    virtual int GetSensorInfo(SensorInfo* info);
    virtual int ReadInfoBlock2(uint8_t* block64);
    // How the selected camera is connected, as its driver reports it (0 unknown,
    // 1 low, 2 full, 3 high, 4 SuperSpeed or faster); 0 when the request fails.
    virtual int GetBusSpeed(uint32_t* code);
    // Stops the transfer and selects `deviceNumber`: 0 on success, -1 on failure.
    virtual int ReopenDevice(int deviceNumber);
    // Finds the camera, creates its sensor and opens it; the open result, 0 on failure.
    virtual int SelectDeviceNumber(int deviceNumber);
    // Absence of the camera in use is remembered (see DeviceLost).
    virtual int IsDeviceNumberPresent(int deviceNumber);
    // The camera in use was seen gone since it was opened: unplugged, it lost power
    // and comes back unprogrammed, so only a new open sequence makes it stream again.
    bool DeviceLost() const { return deviceLost_.load(); }
    // Cameras with `productCode` that are present now (0: every record of the table).
    virtual int CountDevices(int productCode);
    virtual int DeviceName(int deviceNumber, char* text, size_t size);
    virtual int SetProductCode(int code);
    virtual int GetProductCode() { return productCode_; }
    virtual int VendorIdAt(int tableIndex);
    virtual int ProductIdAt(int tableIndex);
    virtual int InstanceAt(int tableIndex);
    virtual int GetDeviceNumber() { return deviceNumber_.load(); }
    virtual int MaxDevices() { return kMaxDevices; }

    // --- Streaming ---
    // Modes: 0 continuous, 1 one frame, 2 one frame after re-aligning the ring to the
    // read mark, 3 one frame header only.
    virtual int StartTransfer(int mode);
    virtual int StopTransfer(int wait);
    virtual int SetAcquisitionMode(int mode);
    virtual int ResetStream();
    virtual void TransferLoop();
    virtual int AllocateFrameBuffers();
    virtual int RefreshFrameCounter();
    // One frame into buffer 0 on the caller's thread: 0 after the attempt (the
    // transfer-failed flag tells how it went), 2 without a controller or buffers.
    virtual int CaptureSingleFrame();
    virtual int SetFrameTimeout(uint32_t ms);
    // 1 the transfer failed, 2 no new frame within `ms`, 3 a new frame is there.
    virtual int WaitFrame(uint32_t ms);

    // --- Readout ---
    // Copies a frame (buffer 0 when `firstBuffer`, else the newest) into `destination`
    // turned as `orderFlag` asks; null destination: only the outputs. 0 when
    // `capacity` is below the frame size or there is no frame buffer.
    virtual int ReadFrame(uint8_t* destination, size_t capacity, int32_t* counter, int32_t* wordA,
                          int32_t* wordB, int32_t* wordC, int32_t* wordD, int firstBuffer,
                          int orderFlag);
    // The newest frame; the read mark moves to the write index. 0, or -1 when it did
    // not fit `capacity`.
    virtual int ReadNewestFrame(uint8_t* destination, size_t capacity, int orderFlag);
    // Buffer 0 (what CaptureSingleFrame stored): 0, -2 for a null destination, -1 when
    // it did not fit.
    virtual int ReadFirstBuffer(uint8_t* destination, size_t capacity, int orderFlag);
    virtual int ReadNewestFrameEx(uint8_t* destination, size_t capacity, int32_t* counter,
                                  int32_t* wordA, int32_t* wordB, int32_t* wordC, int32_t* wordD,
                                  int orderFlag);

    // --- Settings ---
    virtual int SetTransferDepth(int depth);  // 0: 8 bits, 1: 16 bits per pixel
    virtual int SetCaptureWindow(int x, int y, int width, int height, int mode);
    virtual int GetCaptureWindow(int* x, int* y, int* width, int* height, int* mode);
    virtual int SetMirrorH(int on);
    virtual int SetMirrorV(int on);
    virtual int GetMirrorH();
    virtual int GetMirrorV();
    virtual int GetMirrorVDefault();
    virtual int GetMirrorHDefault();
    virtual int IsMirrorVSupported();
    virtual int IsMirrorHSupported();
    // 1 hardware trigger, anything else free-run.
    virtual int SetTriggerMode(int mode, int force);
    virtual int GetTriggerMode(int* mode);
    virtual int IsHWindowSupported();
    virtual int IsVWindowSupported();
    virtual int GetFullWidth();
    virtual int GetFullHeight();
    virtual int GetDefaultWidth();
    virtual int GetDefaultHeight();
    virtual int GetDefaultX();
    virtual int GetDefaultY();
    virtual int SetGain(int value);
    virtual int GetGain();
    virtual int GetGainMin();
    virtual int GetGainMax();
    virtual int GetGainDefault();
    // Units of 0.1 ms; also sets the frame time-out.
    virtual int SetExposureTime(int units);
    virtual int GetExposureTime();
    virtual int GetExposureTimeMin();
    virtual int GetExposureTimeMax();
    virtual int GetExposureTimeDefault();
    virtual int SetExposureLines(int lines);
    virtual int GetExposureLines();
    virtual int GetExposureLinesMin();
    virtual int GetExposureLinesMax();
    virtual int GetExposureLinesDefault();
    virtual int IsExposureMsSupported();
    virtual int SetExposureMs(double ms);
    virtual int GetExposureMs(double* ms);
    virtual int GetExposureMsMin(double* ms);
    virtual int GetExposureMsMax(double* ms);
    virtual int GetExposureMsDefault(double* ms);
    virtual int SetChannelGain(int channel, int value);
    virtual int GetChannelGain(int channel, int* value);
    virtual int GetChannelGainMin(int* value);
    virtual int GetChannelGainMax(int* value);
    virtual int GetChannelGainDefault(int* value);
    virtual int SetChannelOffset(int channel, int value);
    virtual int GetChannelOffset(int channel, int* value);
    virtual int GetChannelOffsetMin(int* value);
    virtual int GetChannelOffsetMax(int* value);
    virtual int GetChannelOffsetDefault(int* value);
    virtual int SetColorGainRed(int value);
    virtual int GetColorGainRed();
    virtual int SetColorGainGreen1(int value);
    virtual int GetColorGainGreen1();
    virtual int SetColorGainGreen2(int value);
    virtual int GetColorGainGreen2();
    virtual int SetColorGainBlue(int value);
    virtual int GetColorGainBlue();
    virtual int GetColorGainMin();
    virtual int GetColorGainMax();
    virtual int GetColorGainDefault();
    // Optional features 0..2 of the sensor (none on this camera).
    virtual int IsFeatureSupported(int group);
    virtual int GetFeatureValue(int group, int which, int* value);
    virtual int SetFeature(int group, int value);
    // Sensor registers without waiting for the FPGA; the read returns the byte.
    virtual int WriteSensorRegister(int reg, int value);
    virtual int ReadSensorRegister(int reg, int* ok);
    virtual int WriteFpgaRegister(int reg, int value);
    virtual int ReadFpgaRegister(int reg, int* ok);
    // Waits up to `ms` for the FPGA's busy bit (register 2, bit 1) to clear.
    virtual int WaitFpgaReady(uint32_t ms);
    virtual int SetSamplingRate(int index, int flag, int* rate);
    virtual int QueryInternalCorrection(int argument);
    virtual int GetInternalCorrection(int* value);
    virtual int SetInternalCorrection(int value);
    virtual int IsPeltierSupported();
    virtual int GetPeltier(int* value);
    virtual int SetPeltier(int value);
    virtual int IsTemperatureSupported();
    virtual int ReadTemperature(double* celsius);
    // Output formats the camera allows (1 without a sensor).
    virtual int AllowsMono8AndColor32();
    virtual int AllowsMono16();
    virtual int AllowsColor24And64();
    // The configuration EEPROM (SROM), and the byte at 0x1080 that the core keeps.
    virtual int WriteEeprom(uint16_t address, uint8_t value);
    virtual int ReadEeprom(uint16_t address, uint8_t* value);
    virtual int WriteEepromByte1080(uint8_t value);
    virtual int ReadEepromByte1080(uint8_t* value);

    // --- State, for the SDK object, diagnostics and tests ---
    CVeltCy3Cam* Controller() const { return controller_.get(); }
    // Whether a camera was selected (a sensor exists); the sensor itself is reached
    // only through the operations above, under the control lock.
    bool HasSensor();
    const uint8_t* InfoBlock() const { return infoBlock_.data(); }
    int FrameSize() const { return frameSize_; }
    size_t WorkBufferSize() const { return workBufferSize_; }
    int RingSize() const { return ringSize_; }
    int WriteIndex() const { return writeIndex_.load(); }
    int ReadMark() const { return readMark_.load(); }
    int TransferFailed() const { return transferFailed_.load(); }
    int BuffersStale() const { return buffersStale_.load(); }
    int LastFrameCounter() const { return lastFrameCounter_.load(); }
    uint32_t FrameTimeout() const { return frameTimeoutMs_.load(); }
    int TransferDepth() const { return transferDepth_; }
    int OperatingMode() const { return operatingMode_.load(); }
    int AcquisitionMode() const { return acquisitionMode_.load(); }
    bool IsRunning() const { return running_.load() != 0; }
    int BufferFrameCounter(int index) const;
    // Frames the transfer thread (or a single capture) has stored since construction.
    uint64_t FramesStored() const { return framesStored_.load(); }
    // Frames not stored because their header declared a payload length that is not a
    // whole frame (less than the frame size or more than the buffer holds).
    uint64_t FramesRejected() const { return framesRejected_.load(); }
    // The metadata of the frame the last readout copied.
    FrameMeta LastReadMeta();
    TransferCounters Counters() const;
    // Whether the thread-end event is set now (it is left set when a thread ends).
    bool ThreadEndSignalled();
    // Processor time the running transfer thread has used, in microseconds (0 without one).
    uint64_t TransferThreadCpuMicros();
    // Holds the ring buffer a readout copies from (buffer 0, or the newest) against the
    // transfer thread, which waits before refilling it; returns its index. Unpin
    // releases it. One reader at a time (the readouts take it under the control lock);
    // a caller that holds a frame this way keeps start, stop and re-allocation away.
    int PinFrame(bool firstBuffer);
    void Unpin();

  protected:
    platform::CTimeSource& Time() const;

  private:
    struct ThreadExit;

    std::shared_ptr<CAutoResetEvent> NewFrameEvent();
    void EnsureNewFrameEvent();
    // Waits for the transfer thread to end, aborting its reads so that it notices.
    void JoinTransferThreads();
    bool WaitThreadExit(const std::shared_ptr<ThreadExit>& exit, uint32_t ms);
    void FreeWorkBuffer();
    // The transfer thread's way out when something escaped its loop.
    void EndTransferAfterFault();
    // After a failed read: when the driver may still write into the work buffer, hands
    // it to the controller and takes a fresh one. False when none could be had.
    bool RenewWorkBufferIfWritten();
    // Whether the header's payload length is a whole frame that fits; counts a reject.
    bool PayloadFitsFrame(const FrameDescriptor& descriptor);
    void WaitUntilUnpinned(int index);
    int NewestIndex() const;
    bool Geometry(int* width, int* height, int* bytesPerPixel) const;
    // `action(sensor)` under the control lock; `otherwise` without a sensor.
    template <class Action>
    int WithSensor(int otherwise, Action action);

    std::shared_ptr<platform::CDriverChannel> channel_;
    std::unique_ptr<CVeltCy3Cam> controller_;
    std::array<uint8_t, 64> infoBlock_{};
    std::unique_ptr<uint8_t[]> workBuffer_;
    size_t workBufferSize_ = 0;
    std::atomic<int> acquisitionMode_{0};
    int productCode_ = -1;
    int transferDepth_ = 0;
    std::atomic<int> operatingMode_{-1};
    std::array<std::unique_ptr<uint8_t[]>, kMaxRing> frameBuffers_;
    std::array<std::atomic<int32_t>, kMaxRing> bufferCounter_{};
    std::array<std::array<std::atomic<int32_t>, 4>, kMaxRing> bufferWords_{};
    std::array<std::atomic<uint64_t>, kMaxRing> bufferSequence_{};
    std::array<std::atomic<uint64_t>, kMaxRing> bufferTimestampNs_{};
    FrameMeta lastReadMeta_;  // under control_
    std::atomic<uint64_t> headerFailures_{0}, payloadFailures_{0}, retries_{0}, giveUps_{0};
    int ringSize_ = 4;
    std::atomic<int> writeIndex_{0};
    std::atomic<int> readMark_{3};
    int frameSize_ = 0;
    // The geometry the frame buffers were allocated for; readout uses it.
    int frameWidth_ = 0, frameHeight_ = 0, frameBytesPerPixel_ = 1, frameOrientation_ = 1;
    std::atomic<int> transferFailed_{0};
    std::atomic<int> buffersStale_{1};
    std::unique_ptr<CSensorBase> sensor_;
    std::atomic<int> lastFrameCounter_{0};
    std::atomic<int> deviceNumber_{0};
    std::atomic<bool> deviceLost_{false};
    std::atomic<uint32_t> frameTimeoutMs_{kDefaultFrameTimeoutMs};
    std::atomic<int> running_{0};
    std::atomic<uint64_t> framesStored_{0};
    std::atomic<uint64_t> framesRejected_{0};
    std::atomic<int> pinned_{-1};  // ring buffer being read out; the thread does not refill it
    std::mutex pinLock_;           // with unpinned_: the thread sleeps until the pin is gone
    std::condition_variable unpinned_;

    // Start, stop, buffer (re)allocation, single capture and readout exclude each
    // other, so that there is never more than one producer on the ring and nothing
    // is freed under a reader. Every use of the sensor object is under it too, and
    // its replacement on a device switch. The transfer thread itself never takes it.
    std::recursive_mutex control_;
    std::mutex eventsLock_;  // the two event pointers below
    std::shared_ptr<CAutoResetEvent> newFrameEvent_;
    std::shared_ptr<CAutoResetEvent> threadEndEvent_;  // one per core, no shared name
    std::thread thread_;
    std::shared_ptr<ThreadExit> threadExit_;
    // A thread that outlived StopTransfer(0)'s wait; joined before its buffers are touched.
    std::thread outlived_;
    std::shared_ptr<ThreadExit> outlivedExit_;
};

}  // namespace veltcam
