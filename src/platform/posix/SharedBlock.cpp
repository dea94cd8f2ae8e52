#include "platform/SharedBlock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace veltcam::platform {
namespace {

// POSIX shared memory names start with one slash and hold no other.
std::string ShmName(const std::string& name) {
    std::string out = "/";
    for (char c : name) out += (c == '/') ? '_' : c;
    return out;
}

class CPosixSharedBlock final : public CSharedBlock {
  public:
    CPosixSharedBlock(std::string name, uint8_t* data, size_t size)
        : name_(std::move(name)), data_(data), size_(size) {}
    ~CPosixSharedBlock() override { munmap(data_, size_); }
    uint8_t* Data() override { return data_; }
    size_t Size() const override { return size_; }
    void RemoveName() override { shm_unlink(name_.c_str()); }

  private:
    std::string name_;
    uint8_t* data_;
    size_t size_;
};

}  // namespace

std::unique_ptr<CSharedBlock> CSharedBlock::OpenOrCreate(const std::string& name, size_t size,
                                                         bool* created) {
    const std::string shm = ShmName(name);
    bool made = true;
    int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = shm_open(shm.c_str(), O_RDWR, 0600);
    }
    if (fd < 0) return nullptr;
    // A block that is new, or was left shorter by someone else, is grown to the full
    // size; the added bytes read as zero, as a newly created block must.
    struct stat info {};
    if (fstat(fd, &info) != 0 || (static_cast<size_t>(info.st_size) < size &&
                                  ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        close(fd);
        return nullptr;
    }
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return nullptr;
    if (created) *created = made;
    return std::make_unique<CPosixSharedBlock>(shm, static_cast<uint8_t*>(view), size);
}

CNamedLock::CNamedLock(const std::string& name) {
    // The lock object is never unlinked, so every holder locks the same file.
    int fd = shm_open(ShmName(name + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    if (fd >= 0) handle_ = new int(fd);
}

CNamedLock::~CNamedLock() {
    if (handle_) {
        close(*static_cast<int*>(handle_));
        delete static_cast<int*>(handle_);
    }
}

void CNamedLock::lock() {
    if (!handle_) return;
    while (flock(*static_cast<int*>(handle_), LOCK_EX) != 0 && errno == EINTR) {
    }
}

void CNamedLock::unlock() {
    if (handle_) flock(*static_cast<int*>(handle_), LOCK_UN);
}

}  // namespace veltcam::platform
