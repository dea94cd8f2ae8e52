#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SettingsLocation.h"

namespace veltcam::tool {
namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The same search as the SDK's store: $VELTCAM_SETTINGS, else
// $XDG_CONFIG_HOME/veltcam/settings.reg (absolute only), else ~/.config/...
std::string StorePath() {
    std::string path = Environment("VELTCAM_SETTINGS");
    if (!path.empty()) return path;
    std::string config = Environment("XDG_CONFIG_HOME");
    if (config.empty() || config[0] != '/') {
        std::string home = Environment("HOME");
        if (home.empty()) return {};
        config = home + "/.config";
    }
    return config + "/veltcam/settings.reg";
}

std::string Folder(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string SettingsStoreProblem() {
    std::string path = StorePath();
    if (path.empty()) {
        return "settings cannot be saved: no VELTCAM_SETTINGS, XDG_CONFIG_HOME or HOME";
    }
    std::string where = "settings cannot be saved to " + path + ": ";
    struct stat st {};
    // A link is followed by the store, and so is it here.
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return where + "not a regular file";
    // The store replaces the file by renaming a copy written beside it, and
    // creates missing folders: the nearest folder that exists must take both.
    std::string folder = Folder(path);
    while (stat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return where + std::strerror(errno);
        std::string parent = Folder(folder);
        if (parent == folder) break;
        folder = parent;
    }
    if (!S_ISDIR(st.st_mode)) return where + folder + " is not a folder";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return where + folder + ": " + std::strerror(errno);
    return {};
}

void WarnIfSettingsCannotBeSaved() {
    static bool warned = false;
    if (warned) return;
    warned = true;
    std::string problem = SettingsStoreProblem();
    if (problem.empty()) return;
    std::fprintf(stderr,
                 "veltcam: warning: %s; changes made now are lost when the tool ends "
                 "(set VELTCAM_SETTINGS to a writable file)\n",
                 problem.c_str());
}

}  // namespace veltcam::tool
