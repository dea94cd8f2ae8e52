#include <sys/wait.h>
#include <unistd.h>

#include <climits>

#include "transport/ChildProcess.h"

namespace veltcam::test {

int RunSelf(const std::vector<std::string>& arguments) {
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return -1;
    std::vector<char*> argv;
    argv.push_back(self);
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        execv(self, argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace veltcam::test
