// A named block of memory shared by every process that opens the same name: the
// device table that makes all processes number the cameras alike lives in one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veltcam::platform {

class CSharedBlock {
  public:
    // Opens the block `name`, or creates it zero-filled with `size` bytes. `created`
    // tells which happened. Null when neither works.
    static std::unique_ptr<CSharedBlock> OpenOrCreate(const std::string& name, size_t size,
                                                      bool* created);

    virtual ~CSharedBlock() = default;
    virtual uint8_t* Data() = 0;
    virtual size_t Size() const = 0;

    // Drops the name so that the next OpenOrCreate creates a fresh block. Windows
    // drops it by itself with the last open handle; POSIX names outlive processes.
    virtual void RemoveName() = 0;
};

// A lock shared by every process that uses the same name (a named mutex on Windows,
// an flock on a small named object on POSIX). Each instance is its own holder, so
// two threads of one process exclude each other when each uses its own instance.
// Meets BasicLockable for std::lock_guard.
class CNamedLock {
  public:
    explicit CNamedLock(const std::string& name);
    ~CNamedLock();
    CNamedLock(const CNamedLock&) = delete;
    CNamedLock& operator=(const CNamedLock&) = delete;

    // False when the lock object could not be made; lock() and unlock() then do nothing.
    bool Valid() const { return handle_ != nullptr; }
    void lock();
    void unlock();

  private:
    void* handle_ = nullptr;
};

}  // namespace veltcam::platform
