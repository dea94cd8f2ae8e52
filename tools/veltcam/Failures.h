// The two ways a command fails, mapped to exit codes by main: a bad command line
// (exit 2) and a failed SDK call (exit 1, named by the SDK's error code).
#pragma once

#include <stdexcept>
#include <string>

namespace veltcam::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

class CUsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class CSdkFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The symbolic name of an SDK error code ("ERR_PARAMETER"), or "code N".
std::string ErrorName(int code);

}  // namespace veltcam::tool
