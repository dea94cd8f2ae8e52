// Progress of a long command: a bar redrawn in place on a terminal, plain lines
// (one a second) when the output goes to a file or a pipe.
#pragma once

#include <string>

namespace veltcam::tool {

class CProgress {
  public:
    explicit CProgress(double totalSeconds);
    // Reports the state at `elapsed` seconds; cheap to call often.
    void Update(double elapsed, int frames);
    // Ends the bar's line on a terminal.
    void Finish();

  private:
    double total_;
    bool terminal_;
    double lastLine_ = -1;
};

bool StdoutIsTerminal();

}  // namespace veltcam::tool
