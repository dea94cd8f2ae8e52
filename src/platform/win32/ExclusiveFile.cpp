#include "platform/ExclusiveFile.h"

#include <windows.h>

#include <algorithm>

namespace veltcam::platform {
namespace {

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

HANDLE OpenForWriting(const char* path, DWORD disposition) {
    // Share mode 0: no other handle to the file while it is being written.
    return CreateFileA(path, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

CExclusiveFile::~CExclusiveFile() { Close(); }

bool CExclusiveFile::Open(const char* path) {
    Close();
    if (path == nullptr || *path == '\0') return false;
    HANDLE h = OpenForWriting(path, TRUNCATE_EXISTING);
    if (h == INVALID_HANDLE_VALUE) h = OpenForWriting(path, CREATE_NEW);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

bool CExclusiveFile::Write(const void* data, size_t bytes) {
    if (!IsOpen()) return false;
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        // WriteFile takes 32-bit counts.
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), p, chunk, &written, nullptr) || written == 0)
            return false;
        p += written;
        bytes -= written;
    }
    return true;
}

// The cache manager writes sequential files behind the writer by itself.
void CExclusiveFile::AfterStreamingWrite() {}

bool CExclusiveFile::Seek(uint64_t offset) {
    if (!IsOpen()) return false;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(AsHandle(handle_), to, nullptr, FILE_BEGIN) != 0;
}

bool CExclusiveFile::Truncate() { return IsOpen() && SetEndOfFile(AsHandle(handle_)) != 0; }

bool CExclusiveFile::Close() {
    if (!IsOpen()) return true;
    HANDLE h = AsHandle(handle_);
    handle_ = kClosed;
    return CloseHandle(h) != 0;
}

}  // namespace veltcam::platform
