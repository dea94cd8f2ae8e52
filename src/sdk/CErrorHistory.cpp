#include "sdk/CErrorHistory.h"

#include <algorithm>

namespace veltcam {

void CErrorHistory::Record(int32_t code) {
    std::lock_guard lock(lock_);
    std::copy_backward(codes_.begin(), codes_.end() - 1, codes_.end());
    codes_[0] = code;
}

int32_t CErrorHistory::TakeNewest() {
    std::lock_guard lock(lock_);
    int32_t newest = codes_[0];
    std::copy(codes_.begin() + 1, codes_.end(), codes_.begin());
    codes_[kDepth - 1] = 0;
    return newest;
}

}  // namespace veltcam
