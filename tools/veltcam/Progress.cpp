#include "Progress.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace veltcam::tool {

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

CProgress::CProgress(double totalSeconds) : total_(totalSeconds), terminal_(StdoutIsTerminal()) {}

void CProgress::Update(double elapsed, int frames) {
    double rate = elapsed > 0 ? frames / elapsed : 0;
    if (terminal_) {
        constexpr int kWidth = 30;
        int filled = total_ > 0 ? static_cast<int>(kWidth * std::min(1.0, elapsed / total_)) : 0;
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kWidth, '.');
        std::printf("\r[%s] %5.1f s  %5d frames  %5.1f frames/s", bar.c_str(), elapsed, frames,
                    rate);
        std::fflush(stdout);
    } else if (elapsed - lastLine_ >= 1.0) {
        lastLine_ = elapsed;
        std::printf("%5.1f s  %5d frames  %5.1f frames/s\n", elapsed, frames, rate);
        std::fflush(stdout);
    }
}

void CProgress::Finish() {
    if (terminal_) std::printf("\n");
}

}  // namespace veltcam::tool
