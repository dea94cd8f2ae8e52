// The movie recorder: uncompressed 24-bit frames in a RIFF AVI 1.0 file with an
// idx1 index and no audio.
//
// The record thread hands every delivered frame to WriteFrame while it holds the
// image lock. WriteFrame only converts the frame into one of a few preallocated
// frame buffers and returns; a writer thread of the recorder puts the buffers on
// disk. So a slow disk never holds up the frame pipeline: when every buffer is
// still waiting for the disk, the frame is dropped (and counted) instead.
//
// File layout (little-endian, S = frame bytes = 24-bit row length × height):
//   0   RIFF <size> "AVI "
//   12  LIST 200 "hdrl": avih (56 bytes), LIST 124 "strl": strh (64 bytes), strf (40)
//   220 LIST <size> "movi", then per frame "00db" S <S bytes, rows bottom-up>
//   then "idx1" 16n and one entry {"00db", key frame, offset from "movi", S} per frame.
// Counts, sizes and timing fields are written at Open with the values of an empty
// recording and patched when the recording is finished.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/DibImage.h"
#include "platform/ExclusiveFile.h"

namespace veltcam {

class CAviWriter {
  public:
    // Bytes in the headers before the first frame chunk.
    static constexpr uint32_t kHeaderBytes = 232;
    // Frames that may wait for the disk at the same time.
    static constexpr int kDefaultQueueFrames = 8;
    // Every size in the file is 32-bit: the recording ends before the file would
    // reach 4 GiB.
    static constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull;

    // `maxFileBytes` lets tests reach the size limit without writing gigabytes.
    explicit CAviWriter(int queueFrames = kDefaultQueueFrames,
                        uint64_t maxFileBytes = kMaxFileBytes);
    // Finishes a recording that is still open (with the rate measured here).
    ~CAviWriter();
    CAviWriter(const CAviWriter&) = delete;
    CAviWriter& operator=(const CAviWriter&) = delete;

    // Starts a recording of `width` × `height` frames into `path` (an existing file is
    // truncated, otherwise created; nobody else may open it meanwhile) and writes the
    // headers. A recording still open is finished first. False when the size is not
    // positive or too large for one frame to fit, memory for the frame buffers runs
    // out, or the file cannot be opened or written.
    bool Open(const char* path, int width, int height);

    enum class FrameResult {
        kQueued,   // the frame will be in the file
        kDropped,  // not taken: every frame buffer waits for the disk, or the frame
                   // is not of the recording's size or of a known bit count
        kEnded,    // not taken, and no further frame will be: not open, the file is
                   // full, or a write failed; call Close
    };
    // Converts `frame` (8, 16, 24, 32, 48 or 64 bits, the recording's size) to a
    // 24-bit frame with its rows in reverse order and queues it. Returns at once;
    // call it under the lock that guards `frame`. One thread at a time.
    FrameResult WriteFrame(const DibImage& frame);

    // Writes the frames still queued, the index, the frame count, the sizes and the
    // timing of `rateHundredths` (measured frames per 100 s; values below 1 count as
    // 1) and closes the file. True when every taken frame and the index reached the
    // file. Waits for the disk: call it outside the image lock. False and harmless
    // when nothing is open.
    bool Close(uint32_t rateHundredths);

    bool IsOpen() const;
    // Frames taken since Open (kQueued results).
    uint32_t FrameCount() const;
    // Frames not taken since Open because every buffer was busy or they did not fit.
    uint32_t DroppedFrames() const;
    // A write failed; the recording ended and the file was finished as far as it went.
    bool WriteFailed() const;
    // Bytes of one frame's pixel data (S).
    uint32_t FrameBytes() const { return frameBytes_; }

  private:
    void Run();
    bool WriteChunk(const DibImage& frame);
    // Index, patched headers, close. Writer thread only.
    bool FinishFile(uint32_t rateHundredths);
    void PrepareFrame(DibImage& slot, const DibImage& frame);
    // Frames taken over the time between the first and the last, for recordings
    // finished without a rate from the caller.
    uint32_t OwnRate() const;
    uint32_t OwnRateLocked() const;
    uint64_t FileBytesFor(uint64_t frames) const;

    const int queueFrames_;
    const uint64_t maxFileBytes_;

    platform::CExclusiveFile file_;  // writer thread only while a recording runs
    int width_ = 0;
    int height_ = 0;
    uint32_t frameBytes_ = 0;
    std::vector<std::unique_ptr<DibImage>> slots_;
    DibImage grey_;  // 16-bit frames pass through 8 bits on their way to 24

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::thread writer_;
    std::deque<int> queue_;  // slots waiting for the disk, oldest first
    std::vector<int> free_;  // slots the next frame may use
    bool open_ = false;
    bool ended_ = false;  // no further frame is taken
    bool finishRequested_ = false;
    uint32_t finishRate_ = 0;
    bool finishedOk_ = false;
    bool failed_ = false;
    int converting_ = 0;  // frames taken but not yet queued
    uint32_t taken_ = 0;
    uint32_t written_ = 0;
    uint32_t dropped_ = 0;
    uint32_t firstTickMs_ = 0;
    uint32_t lastTickMs_ = 0;
};

}  // namespace veltcam
