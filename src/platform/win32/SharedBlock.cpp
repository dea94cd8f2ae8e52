#include "platform/SharedBlock.h"

#include <windows.h>

namespace veltcam::platform {
namespace {

class CWin32SharedBlock final : public CSharedBlock {
  public:
    CWin32SharedBlock(HANDLE mapping, uint8_t* data, size_t size)
        : mapping_(mapping), data_(data), size_(size) {}
    ~CWin32SharedBlock() override {
        UnmapViewOfFile(data_);
        CloseHandle(mapping_);
    }
    uint8_t* Data() override { return data_; }
    size_t Size() const override { return size_; }
    // The kernel drops the name with the last handle.
    void RemoveName() override {}

  private:
    HANDLE mapping_;
    uint8_t* data_;
    size_t size_;
};

}  // namespace

std::unique_ptr<CSharedBlock> CSharedBlock::OpenOrCreate(const std::string& name, size_t size,
                                                         bool* created) {
    bool made = false;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
    if (mapping == nullptr) {
        // Page-file backed; a new section reads as zero.
        mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                     static_cast<DWORD>(size), name.c_str());
        if (mapping == nullptr) return nullptr;
        made = GetLastError() != ERROR_ALREADY_EXISTS;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (view == nullptr) {
        CloseHandle(mapping);
        return nullptr;
    }
    if (created) *created = made;
    return std::make_unique<CWin32SharedBlock>(mapping, static_cast<uint8_t*>(view), size);
}

CNamedLock::CNamedLock(const std::string& name) {
    handle_ = CreateMutexA(nullptr, FALSE, (name + ".lock").c_str());
}

CNamedLock::~CNamedLock() {
    if (handle_) CloseHandle(handle_);
}

void CNamedLock::lock() {
    if (!handle_) return;
    // An abandoned mutex (its holder died) is ours now; the table it guards is
    // record-by-record consistent, so carry on.
    WaitForSingleObject(handle_, INFINITE);
}

void CNamedLock::unlock() {
    if (handle_) ReleaseMutex(handle_);
}

}  // namespace veltcam::platform
