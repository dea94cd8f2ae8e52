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

  private:
    static constexpr intptr_t kClosed = -1;
    intptr_t handle_ = kClosed;  // HANDLE on Windows, descriptor elsewhere
};

}  // namespace veltcam::platform
