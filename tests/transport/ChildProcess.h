// Runs this test program again as a separate process, for what must be seen from
// another process (the shared device table).
#pragma once

#include <string>
#include <vector>

namespace veltcam::test {

// Runs the current executable with `arguments` and returns its exit code (-1 when it
// could not be started).
int RunSelf(const std::vector<std::string>& arguments);

}  // namespace veltcam::test
