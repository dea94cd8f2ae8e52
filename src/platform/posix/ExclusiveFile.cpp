#include "platform/ExclusiveFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltcam::platform {
namespace {

// Advisory, but every SDK instance honours it; the lock is taken before the
// file is cut so that a file someone else is writing is never truncated.
bool LockAndTruncate(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) return false;
    // Devices and pipes have nothing to cut.
    return !S_ISREG(info.st_mode) || ftruncate(fd, 0) == 0;
}

// Write-back is started in steps of this size; the step before the current one
// is waited for and dropped, so at most two steps of a stream are ever dirty.
constexpr uint64_t kStreamStep = 16u << 20;

}  // namespace

CExclusiveFile::~CExclusiveFile() { Close(); }

bool CExclusiveFile::Open(const char* path) {
    Close();
    if (path == nullptr || *path == '\0') return false;
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (!LockAndTruncate(fd)) {
        close(fd);
        return false;
    }
    handle_ = fd;
    position_ = startedTo_ = droppedTo_ = 0;
    return true;
}

bool CExclusiveFile::Write(const void* data, size_t bytes) {
    if (!IsOpen()) return false;
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = write(static_cast<int>(handle_), p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        bytes -= static_cast<size_t>(n);
        position_ += static_cast<uint64_t>(n);
    }
    if (streaming_) AfterStreamingWrite();
    return true;
}

void CExclusiveFile::AfterStreamingWrite() {
    if (position_ < startedTo_ + kStreamStep) return;
    const int fd = static_cast<int>(handle_);
    // Hints only: a failure here costs speed, never data.
    sync_file_range(fd, static_cast<off_t>(startedTo_), static_cast<off_t>(position_ - startedTo_),
                    SYNC_FILE_RANGE_WRITE);
    if (startedTo_ > droppedTo_) {
        const auto from = static_cast<off_t>(droppedTo_);
        const auto length = static_cast<off_t>(startedTo_ - droppedTo_);
        sync_file_range(
            fd, from, length,
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        posix_fadvise(fd, from, length, POSIX_FADV_DONTNEED);
        droppedTo_ = startedTo_;
    }
    startedTo_ = position_;
}

bool CExclusiveFile::Seek(uint64_t offset) {
    if (!IsOpen() || lseek(static_cast<int>(handle_), static_cast<off_t>(offset), SEEK_SET) !=
                         static_cast<off_t>(offset)) {
        return false;
    }
    position_ = offset;
    // A stream that goes back (to patch its headers) is done streaming.
    if (offset < startedTo_) startedTo_ = droppedTo_ = offset;
    return true;
}

bool CExclusiveFile::Truncate() {
    if (!IsOpen()) return false;
    const off_t at = lseek(static_cast<int>(handle_), 0, SEEK_CUR);
    return at >= 0 && ftruncate(static_cast<int>(handle_), at) == 0;
}

bool CExclusiveFile::Close() {
    if (!IsOpen()) return true;
    const int fd = static_cast<int>(handle_);
    handle_ = kClosed;
    // The descriptor is gone after close() whatever it returns; EINTR must not
    // lead to a second close of a number that may already be reused.
    return close(fd) == 0;
}

}  // namespace veltcam::platform
