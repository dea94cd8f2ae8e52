// The settings store on Linux: one per-user text file in registry-export syntax.
//
// Location: $VELTCAM_SETTINGS, else $XDG_CONFIG_HOME/veltcam/settings.reg, else
// ~/.config/veltcam/settings.reg.
//
// Readers parse a snapshot of the file without locking: the file is only ever
// replaced whole by rename, so a reader sees either the old or the new content.
// Writers hold an exclusive flock on "<file>.lock" while they re-read the file,
// apply their changes, write "<file>.tmp", fsync it and rename it over the file.
// Re-reading under the lock means two processes (or two handles in one process)
// never drop each other's values; writing a copy means a crash at any moment
// leaves either the old or the new file, never a truncated one.
#include "platform/SettingsStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "platform/posix/SettingsStoreDocument.h"

namespace veltcam::platform {
namespace {

constexpr char kDefaultRoot[] = "Software\\Norvik\\VeltCamM403R7Sdk";
constexpr char kHive[] = "HKEY_CURRENT_USER\\";
// Far beyond any settings file; a bigger file is not ours and is left alone.
constexpr off_t kMaxFileBytes = 16 << 20;

// RAII for a file descriptor.
class CFd {
  public:
    explicit CFd(int fd = -1) : fd_(fd) {}
    ~CFd() {
        if (fd_ >= 0) close(fd_);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

std::string NonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string HomeDirectory() {
    std::string home = NonEmptyEnv("HOME");
    if (!home.empty()) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

// Where the file lives; empty when there is no place for it.
std::string StorePath() {
    std::string path = NonEmptyEnv("VELTCAM_SETTINGS");
    if (path.empty()) {
        // The XDG rules ignore a relative XDG_CONFIG_HOME.
        std::string config = NonEmptyEnv("XDG_CONFIG_HOME");
        if (config.empty() || config[0] != '/') {
            std::string home = HomeDirectory();
            if (home.empty()) return {};
            config = home + "/.config";
        }
        path = config + "/veltcam/settings.reg";
    }
    // A settings file that is a symbolic link (kept in a dotfiles folder, say) is
    // updated where it points, so that the rename does not replace the link.
    char resolved[PATH_MAX];
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(path.c_str(), resolved) != nullptr) {
        path = resolved;
    }
    return path;
}

std::string FullKeyPath(std::string_view path) {
    std::string full = kHive + SettingsRootKey();
    if (!path.empty()) {
        full += '\\';
        full += path;
    }
    return full;
}

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadFile(const std::string& path, std::string& text, struct stat* info = nullptr) {
    text.clear();
    CFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
    struct stat st {};
    if (fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
        return ReadResult::kFailed;
    }
    if (info != nullptr) *info = st;
    char buffer[8192];
    while (true) {
        ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return ReadResult::kFailed;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileBytes)) return ReadResult::kFailed;
    }
    return ReadResult::kRead;
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// mkdir -p for the folder holding the file.
bool MakeParentDirectories(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = file.substr(0, slash);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

std::string ParentDirectory(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// Replaces the file with `text` so that a crash leaves the old or the new file.
bool ReplaceFile(const std::string& path, const std::string& text, const struct stat* old) {
    std::string temp = path + ".tmp";
    mode_t mode = old != nullptr ? (old->st_mode & 07777) : 0600;
    {
        CFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.Get() < 0) return false;
        bool ok = fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), text) && fsync(fd.Get()) == 0;
        if (!ok) {
            unlink(temp.c_str());
            return false;
        }
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    // The rename itself must reach the disk before the update counts as done.
    CFd dir(open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) fsync(dir.Get());
    return true;
}

// Read-modify-write of the whole file under the writers' lock. `result` receives
// the document as written.
bool UpdateStore(const std::function<void(CRegDocument&)>& change, CRegDocument& result) {
    std::string path = StorePath();
    if (path.empty() || !MakeParentDirectories(path)) return false;

    CFd lock(open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.Get() < 0) return false;
    while (flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) return false;
    }

    std::string before;
    struct stat info {};
    ReadResult read = ReadFile(path, before, &info);
    // A file we cannot read is never overwritten: it may hold what the user wants.
    if (read == ReadResult::kFailed) return false;

    CRegDocument doc = CRegDocument::Parse(before);
    change(doc);
    std::string after = doc.Serialize();
    if (after != before && !ReplaceFile(path, after, read == ReadResult::kRead ? &info : nullptr)) {
        return false;
    }
    result = std::move(doc);
    return true;  // closing the descriptor releases the lock
}

std::optional<CRegDocument> ReadStore() {
    std::string path = StorePath();
    if (path.empty()) return std::nullopt;
    std::string text;
    switch (ReadFile(path, text)) {
        case ReadResult::kRead:
            return CRegDocument::Parse(text);
        case ReadResult::kMissing:
            return CRegDocument{};
        case ReadResult::kFailed:
            break;
    }
    return std::nullopt;
}

class CFileKey final : public CSettingsKey {
  public:
    CFileKey(std::string keyPath, CRegDocument snapshot, bool writable)
        : keyPath_(std::move(keyPath)), snapshot_(std::move(snapshot)), writable_(writable) {}

    ~CFileKey() override { Commit(); }  // Commit never throws
    CFileKey(const CFileKey&) = delete;
    CFileKey& operator=(const CFileKey&) = delete;

    std::optional<uint32_t> ReadDword(const char* name) const override {
        auto value = snapshot_.FindValue(keyPath_, name);
        if (!value || value->type != RegValue::Type::kDword) return std::nullopt;
        return value->dword;
    }

    std::optional<Binary8> ReadBinary8(const char* name) const override {
        auto value = snapshot_.FindValue(keyPath_, name);
        Binary8 bytes{};
        if (!value || value->type != RegValue::Type::kBinary ||
            value->bytes.size() != bytes.size()) {
            return std::nullopt;
        }
        std::memcpy(bytes.data(), value->bytes.data(), bytes.size());
        return bytes;
    }

    bool WriteDword(const char* name, uint32_t value) override {
        if (!writable_ || name == nullptr) return false;
        try {
            return Queue([keyPath = keyPath_, n = std::string(name), value](CRegDocument& doc) {
                doc.SetDword(keyPath, n, value);
            });
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    bool WriteBinary8(const char* name, const Binary8& bytes) override {
        if (!writable_ || name == nullptr) return false;
        try {
            return Queue([keyPath = keyPath_, n = std::string(name), bytes](CRegDocument& doc) {
                doc.SetBinary(keyPath, n, bytes.data(), bytes.size());
            });
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    bool Commit() override {
        if (pending_.empty()) return true;
        auto changes = std::move(pending_);
        pending_.clear();
        try {
            CRegDocument written;
            bool ok = UpdateStore(
                [&](CRegDocument& doc) {
                    doc.AddKey(keyPath_);
                    for (auto& change : changes) change(doc);
                },
                written);
            if (ok) snapshot_ = std::move(written);
            return ok;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

  private:
    // Writes are kept until Commit, so a group of values reaches the file in one
    // update; reads through this key see them at once, as with the registry.
    bool Queue(std::function<void(CRegDocument&)> change) {
        pending_.push_back(change);
        change(snapshot_);
        return true;
    }

    std::string keyPath_;
    CRegDocument snapshot_;
    bool writable_;
    std::vector<std::function<void(CRegDocument&)>> pending_;
};

std::unique_ptr<CSettingsKey> MakeKey(std::string keyPath, CRegDocument snapshot, bool writable) {
    return std::unique_ptr<CSettingsKey>(
        new (std::nothrow) CFileKey(std::move(keyPath), std::move(snapshot), writable));
}

}  // namespace

std::string SettingsRootKey() { return kDefaultRoot; }

std::unique_ptr<CSettingsKey> OpenSettingsKey(std::string_view path) {
    try {
        std::string keyPath = FullKeyPath(path);
        auto doc = ReadStore();
        if (!doc || !doc->HasKey(keyPath)) return nullptr;
        return MakeKey(std::move(keyPath), std::move(*doc), false);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<CSettingsKey> CreateSettingsKey(std::string_view path) {
    try {
        std::string keyPath = FullKeyPath(path);
        auto doc = ReadStore();
        if (!doc) return nullptr;
        // The key is made at once, so that it exists (for this and every other
        // process) from now on even if nothing is ever written to it.
        if (!doc->HasKey(keyPath)) {
            CRegDocument written;
            if (!UpdateStore([&](CRegDocument& d) { d.AddKey(keyPath); }, written)) return nullptr;
            doc = std::move(written);
        }
        return MakeKey(std::move(keyPath), std::move(*doc), true);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace veltcam::platform
