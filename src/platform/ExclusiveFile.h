// A file that one writer holds alone: still images, movies.
//
// Opening truncates an existing file or, when there is none, creates a new one.
// While it is open nobody else may open it, so a viewer or a second recording
// never reads or writes a half-finished file. Writes are unbuffered and complete
// or fail: every caller writes large blocks (whole images, movie frames).
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltcam::platform {

class CExclusiveFile {
  public:
    CExclusiveFile() = default;
    ~CExclusiveFile();
    CExclusiveFile(const CExclusiveFile&) = delete;
    CExclusiveFile& operator=(const CExclusiveFile&) = delete;

    // Closes what was open, then opens `path`. False (and closed) when the file can
    // neither be truncated nor created, or someone else holds it.
    bool Open(const char* path);
    // Writes all `bytes` at the current position; false on any short write.
    bool Write(const void* data, size_t bytes);
    // Moves the position to `offset` bytes from the start.
    bool Seek(uint64_t offset);
    // Cuts the file off at the current position.
    bool Truncate();
    // False when the system reports an error while releasing the file (data that
    // could not be stored); closed either way. True when nothing was open.
    bool Close();
    bool IsOpen() const { return handle_ != kClosed; }

    // For long sequential writes (movies): what is written is handed to the disk
    // at once and not kept in the file cache afterwards. A recording then neither
    // piles up gigabytes of unwritten data that the system flushes later in long
    // stalls of the writing thread, nor pushes everything else out of the cache.
    // Where the system manages this well by itself, a no-op.
    void SetStreaming(bool on) { streaming_ = on; }

  private:
    void AfterStreamingWrite();

    static constexpr intptr_t kClosed = -1;
    intptr_t handle_ = kClosed;  // HANDLE on Windows, descriptor elsewhere
    bool streaming_ = false;
    uint64_t position_ = 0;   // where the next write lands
    uint64_t startedTo_ = 0;  // write-back started for everything before this
    uint64_t droppedTo_ = 0;  // written and dropped from the cache before this
};

}  // namespace veltcam::platform
